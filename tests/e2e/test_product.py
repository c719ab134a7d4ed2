"""The shipped files themselves: a 32-bit (Corvane.exe) or 64-bit (Corvane64.exe)
GUI executable needing only Windows' own DLLs, with its version resource and
icon, and the shipped settings."""

import os
import struct
import unittest

from harness import BUILD

WINDOWS_DLLS = {"kernel32.dll", "user32.dll", "advapi32.dll", "shell32.dll", "msvcrt.dll"}
# PE machine and optional-header magic: i386 and PE32, or x64 and PE32+.
MACHINE = {"x86": (0x14C, 0x10B), "x64": (0x8664, 0x20B)}[BUILD.name]


def read_pe(path):
    with open(path, "rb") as f:
        data = f.read()
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    assert data[pe:pe + 4] == b"PE\0\0"
    machine, sections, _, _, _, optional_size, _ = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    # The data directories follow the PE32 header at 96, the PE32+ one at 112.
    directories = opt + (112 if magic == 0x20B else 96)
    import_rva = struct.unpack_from("<I", data, directories + 8)[0]
    table = []
    for i in range(sections):
        s = opt + optional_size + 40 * i
        vsize, va, rsize, raw = struct.unpack_from("<IIII", data, s + 8)
        table.append((va, max(vsize, rsize), raw))

    def offset(rva):
        for va, size, raw in table:
            if va <= rva < va + size:
                return rva - va + raw
        raise ValueError(rva)

    dlls = []
    d = offset(import_rva)
    while True:
        name_rva = struct.unpack_from("<I", data, d + 12)[0]
        if name_rva == 0:
            break
        n = offset(name_rva)
        dlls.append(data[n:data.index(b"\0", n)].decode().lower())
        d += 20
    return data, machine, magic, subsystem, dlls


class Executable(unittest.TestCase):
    def setUp(self):
        self.data, self.machine, self.magic, self.subsystem, self.dlls = read_pe(
            os.path.join(BUILD.windows_dir, BUILD.exe))

    def test_is_a_gui_program_of_its_architecture_needing_only_windows_dlls(self):
        self.assertEqual((self.machine, self.magic), MACHINE)
        self.assertEqual(self.subsystem, 2)  # Windows GUI, no console
        self.assertTrue(set(self.dlls) <= WINDOWS_DLLS, self.dlls)

    def test_version_resource(self):
        fixed = self.data.index(struct.pack("<I", 0xFEEF04BD))
        file_ms, file_ls, product_ms, product_ls = struct.unpack_from("<IIII", self.data,
                                                                        fixed + 8)
        self.assertEqual((file_ms, file_ls, product_ms, product_ls), (0x1000D, 0, 0x1000D, 0))
        description = "Corvane (64-bit)" if BUILD.name == "x64" else "Corvane"
        for key, value in (("CompanyName", "Halvorquin"), ("FileDescription", description),
                           ("InternalName", BUILD.program), ("OriginalFilename", BUILD.exe),
                           ("ProductName", "Corvane"), ("FileVersion", "1.13.0.0"),
                           ("ProductVersion", "1.13.0.0")):
            with self.subTest(key=key):
                entry = key.encode("utf-16-le") + b"\0\0"
                at = self.data.index(entry) + len(entry)
                at += at % 4  # values start on a 32-bit boundary
                text = value.encode("utf-16-le") + b"\0\0"
                self.assertEqual(self.data[at:at + len(text)], text)

    def test_icon_group_has_256_48_32_and_16_pixel_images(self):
        # GRPICONDIR: reserved 0, type 1, four entries of 14 bytes, each with
        # one plane and 32 bits per pixel.
        at = -1
        while True:
            at = self.data.index(b"\0\0\x01\0\x04\0", at + 1)
            entries = [self.data[at + 6 + 14 * i:at + 20 + 14 * i] for i in range(4)]
            if all(struct.unpack_from("<HH", e, 4) == (1, 32) for e in entries):
                break
        self.assertEqual(sorted(e[0] or 256 for e in entries), [16, 32, 48, 256])


class ShippedSettings(unittest.TestCase):
    def test_names_the_windows_folder_and_the_source_managers_key(self):
        with open(os.path.join(BUILD.windows_dir, BUILD.settings), "rb") as f:
            self.assertEqual(f.read().decode().split("\r\n"), [
                "[Settings]",
                "ds_dir=" + BUILD.twain,
                "ds_reg_dir=" + BUILD.registry,
                "ds_reg_name=Default Source",
                ""])


if __name__ == "__main__":
    unittest.main()
