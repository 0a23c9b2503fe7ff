// The process entry: banner, argument checks, the one archive operation, and the
// message and exit status for its result.
#include "app/arguments.h"
#include "app/messages.h"
#include "archive/archive_tool.h"

int main(int argc, char** argv) {
    const ProcessStart start = PrepareProcess();
    Report report;
    PrintBanner();
    if (argc < 3 || argc > 4) {
        NoteSlips(argc, argv, MODE_INVALID, &report);
        PrintUsage();
        PrintNotes(report, Result::OK);
        // Bare tovra asks for the usage text; any other count is a slip that did nothing,
        // which a script must not take for success.
        return argc == 1 ? Result::OK : Result::MODE_REJECTED;
    }
    const int mode = ParseMode(argc, argv);
    NoteSlips(argc, argv, mode, &report);
    CArchiveTool tool(start, &report);
    Result result = Result::MODE_REJECTED;
    if (mode == MODE_CREATE) {
        // Only packing and unpacking run workers, so only they read TOVRA_THREADS and
        // warn about it.
        result = tool.Process(argv[3], argv[2], mode, {COMPRESSION_LEVEL, WorkerThreads(&report)});
    } else if (mode == MODE_EXTRACT) {
        const InflateChoice inflate =
            WorkerThreads(&report) > 1 ? InflateChoice::FASTEST : InflateChoice::SEQUENTIAL;
        result = tool.Process("", argv[2], mode, {}, inflate);
    } else if (mode != MODE_INVALID) {
        result = tool.Process("", argv[2], mode, {});
    }
    if (!result.ok()) {
        PrintFailure(mode, result, argv[1], argv[2]);
        PrintUsage();
    }
    PrintNotes(report, result);
    return static_cast<int>(result.code());
}
