// Actions through the TWAIN Source Manager: get the default, list, select.
#include <cstdlib>
#include <cstring>

#include "TWLINK/TWLINK.h"
#include "app/report.h"
#include "app/settings.h"
#include "catalogue/catalogue.h"
#include "commands/commands.h"
#include "platform/modules.h"
#include "platform/system.h"
#include "support/diagnostics.h"
#include "support/strings.h"
#include "support/variables.h"

namespace {

constexpr int kMostSources = 1000;
// A Source Manager may write past the 156-byte record; it gets far more room.
constexpr int kScratchSize = 65536;

bool TryOpenManager() {
    // Optional: a Source Manager file of the user's choice instead of the build's own.
    TwSetManagerPath(VarGet("dsm_path"));
    OsForeignLimit(static_cast<unsigned>(SourceTimeLimit()) * 1000);
    return TwOpenManager(nullptr);
}

// The condition code of a Source Manager that is loaded but refused to open.
unsigned ManagerCondition() {
    TW_STATUS status{};
    status.ConditionCode = TWCC_BUMMER;
    TwManagerCall(DG_CONTROL, DAT_STATUS, MSG_GET, &status);
    return status.ConditionCode;
}

// Names the file tried and why it is not open.
[[noreturn]] void CantOpenManager() {
    int result = TwResultCode();
    const char *path = TwManagerPath();
    bool tooLong = *path == '\0';
    if (tooLong)
        path = *VarGet("dsm_path") != '\0' ? VarGet("dsm_path") : OsManagerFile;
    char why[kNotLoadedSize];
    if (TwSessionState >= TWAIN_SM_LOADED)
        snprintf(why, sizeof why, "it refused to open (result %d, condition %u)", result,
                 ManagerCondition());
    else if (Session.loadFailure == kTwManagerNoEntry)
        snprintf(why, sizeof why, "it has no DSM_Entry: it is not a TWAIN Source Manager");
    else if (tooLong)
        snprintf(why, sizeof why, "the path is too long");
    else
        NotLoadedText(why, sizeof why, path,
                      Session.loadFailure == kTwManagerNotLoaded ? Session.loadError
                                                                 : OsErrorFileNotFound,
                      ".");
    Fatal("Can't open TWAIN Source Manager %s: %s", path, why);
}

void OpenManager() {
    if (!TryOpenManager())
        CantOpenManager();
}

unsigned char *Scratch;

bool Identity(TW_UINT16 msg, TW_IDENTITY *identity) {
    // Made on first use, as a plain pointer: no guarded static in the program.
    if (!Scratch)
        Scratch = static_cast<unsigned char *>(MemAlloc(kScratchSize));
    unsigned char *scratch = Scratch;
    memset(scratch, 0, kScratchSize);
    memcpy(scratch, identity, sizeof *identity);
    bool ok = TwManagerCall(DG_CONTROL, DAT_IDENTITY, msg, scratch);
    memcpy(identity, scratch, sizeof *identity);
    return ok;
}

// The sources an enumeration has returned so far: one that comes again, or more
// than any machine holds, means it would never end.
struct Enumeration {
    TW_IDENTITY *seen;
    int count;
};

// The default that MSG_GETDEFAULT returned names the enumerated source with the
// same Id and the same three strings.
bool SameSource(const TW_IDENTITY &a, const TW_IDENTITY &b) {
    return a.Id == b.Id && strncmp(a.Manufacturer, b.Manufacturer, sizeof a.Manufacturer) == 0 &&
           strncmp(a.ProductFamily, b.ProductFamily, sizeof a.ProductFamily) == 0 &&
           strncmp(a.ProductName, b.ProductName, sizeof a.ProductName) == 0;
}

// MSG_GETNEXT into the buffer; false at the end of the list.
bool NextSource(Enumeration *walk, TW_IDENTITY *identity) {
    if (!walk->seen) {
        walk->seen = static_cast<TW_IDENTITY *>(
            MemAlloc(kMostSources * static_cast<int32_t>(sizeof(TW_IDENTITY))));
        walk->seen[walk->count++] = *identity; // the first source
    }
    if (!Identity(MSG_GETNEXT, identity)) {
        free(walk->seen);
        walk->seen = nullptr;
        return false;
    }
    const char *file = FileName(TwManagerPath());
    for (int i = 0; i < walk->count; ++i)
        if (SameSource(walk->seen[i], *identity))
            Fatal("%s returned source %d again in MSG_GETNEXT", file, i + 1);
    if (walk->count == kMostSources)
        Fatal("%s returned more than %d sources in MSG_GETNEXT", file, kMostSources);
    walk->seen[walk->count++] = *identity;
    return true;
}

void FirstSource(TW_IDENTITY *identity) {
    if (!Identity(MSG_GETFIRST, identity))
        Fatal("No TWAIN Sources available");
}

} // namespace

int ManagerGetDefault(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    OpenManager();
    TW_IDENTITY identity{};
    if (!Identity(MSG_GETDEFAULT, &identity))
        Fatal("No default TWAIN source available");
    FILE *stream = ReportCreate(path);
    PutLine(stream, JoinLines(IdentityString(identity.ProductName).text));
    ReportFinish(stream, path, outputFile);
    return 0;
}

int ManagerList(const char *templateText, const char *outputFile) {
    const char *path = ReportPath(outputFile);
    OpenManager();
    TW_IDENTITY identity{};
    FirstSource(&identity);
    FILE *stream = ReportCreate(path);
    Enumeration walk{};
    int number = 1;
    do {
        char text[16];
        FormatDecimal(text, sizeof text, number);
        SetListingName("M", IdentityString(identity.Manufacturer).text);
        SetListingName("F", IdentityString(identity.ProductFamily).text);
        SetListingName("P", IdentityString(identity.ProductName).text);
        VarSet("D", "");
        VarSet("N", text);
        char *line = ExpandTemplate(templateText);
        PutLine(stream, line);
        free(line);
        ++number;
    } while (NextSource(&walk, &identity));
    ReportFinish(stream, path, outputFile);
    return 0;
}

int ManagerSelectByName(const char *name) {
    RefuseEmptyName(name);
    RefuseSystemAccount();
    OpenManager();
    TW_IDENTITY identity{};
    FirstSource(&identity);
    Enumeration walk{};
    do {
        if (FindNoCase(IdentityString(identity.ProductName).text, name)) {
            free(walk.seen);
            // A refused default must not look like success to a script.
            if (!Identity(MSG_SET, &identity))
                Fatal("The TWAIN Source Manager refused to make %s the default (result %d)", name,
                      TwResultCode());
            return 0;
        }
    } while (NextSource(&walk, &identity));
    Fatal("Scanner: %s - not found", name);
}

int ManagerSelectByNumber(const char *numberText) {
    RefuseSystemAccount();
    DecimalText typed = ReadDecimal(numberText);
    int number = typed.value;
    OpenManager();
    TW_IDENTITY identity{};
    FirstSource(&identity);
    // A number beyond the int range is never reached: the whole list is walked.
    Enumeration walk{};
    for (int position = 1; !typed.inRange || position != number; ++position)
        if (!NextSource(&walk, &identity))
            NumberNotFound(numberText);
    free(walk.seen);
    if (DebugLevel != 0)
        LogHexDump("TW_IDENTITY : ", sizeof identity, &identity);
    if (!Identity(MSG_SET, &identity))
        Fatal("The TWAIN Source Manager refused to make source %d the default (result %d)", number,
              TwResultCode());
    return 0;
}

namespace {

// Why the Source Manager is not open, ending the line.
void PutManagerFailure(FILE *stream, int result) {
    if (TwSessionState >= TWAIN_SM_LOADED) {
        // Loaded but refused: its condition code says why.
        fprintf(stream, "open refused: result %d, condition %u\n", result, ManagerCondition());
    } else if (Session.loadFailure == kTwManagerNotLoaded) {
        // Loaded in this process, whose working folder is the program's own.
        PutNotLoaded(stream, TwManagerPath(), Session.loadError, ".");
        fputc('\n', stream);
    } else {
        PutLine(stream, Session.loadFailure == kTwManagerNoEntry ? "no DSM_Entry" : "not found");
    }
}

} // namespace

int ManagerListJson(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    OpenManager();
    TW_IDENTITY chosen{};
    bool hasDefault = Identity(MSG_GETDEFAULT, &chosen);
    TW_IDENTITY identity{};
    FirstSource(&identity);
    FILE *stream = ReportCreate(path);
    PutJsonOpen(stream);
    Enumeration walk{};
    int number = 0;
    do {
        ++number;
        PutJsonSource(stream, number, identity, nullptr,
                      hasDefault && SameSource(identity, chosen));
    } while (NextSource(&walk, &identity));
    PutJsonClose(stream, number);
    ReportFinish(stream, path, outputFile);
    return 0;
}

int ManagerCheck(const char *outputFile) {
    const char *path = ReportPath(outputFile);
    bool open = TryOpenManager();
    int result = TwResultCode();
    FILE *stream = ReportCreate(path);
    fputs("Source Manager: ", stream);
    PutEscaped(stream, TwManagerPath());
    fputs(": ", stream);
    if (!open) {
        PutManagerFailure(stream, result);
        ReportFinish(stream, path, outputFile);
        return 0;
    }
    PutLine(stream, "open");
    // Names escaped, as in the catalogue's check: each source keeps to its line.
    TW_IDENTITY identity{};
    Enumeration walk{};
    for (int number = 1;
         number == 1 ? Identity(MSG_GETFIRST, &identity) : NextSource(&walk, &identity); ++number) {
        fprintf(stream, "source %d: ", number);
        PutEscaped(stream, IdentityString(identity.ProductName).text);
        fputs(" (", stream);
        PutEscaped(stream, IdentityString(identity.Manufacturer).text);
        fputs(", ", stream);
        PutEscaped(stream, IdentityString(identity.ProductFamily).text);
        fputs(")\n", stream);
    }
    if (Identity(MSG_GETDEFAULT, &identity)) {
        fputs("default: ", stream);
        PutEscaped(stream, IdentityString(identity.ProductName).text);
        fputc('\n', stream);
    } else {
        PutLine(stream, "default: none");
    }
    ReportFinish(stream, path, outputFile);
    return 0;
}
