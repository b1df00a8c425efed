// Entry point of harkwell-list: lists the processes that play audio through
// PipeWire now, with the root pid to pass to Harkwell's include mode.
#include <csignal>
#include <cstdio>
#include <cstring>

#include "common/answer_bound.h"
#include "common/exit_status.h"
#include "common/messages.h"
#include "common/process_listing.h"
#include "common/result_code.h"
#include "linux/lister/listing.h"
#include "linux/lister/playback_streams.h"
#include "linux/process/standard_descriptors.h"

int main(int argc, char** argv) {
    const bool json = argc == 2 && std::strcmp(argv[1], "--json") == 0;
    if (argc > 2 || (argc == 2 && !json)) {
        std::fputs(HARKWELL_LIST_USAGE_LINE("harkwell-list"), stderr);
        return kExitUsage;
    }
    // A reader that goes away makes writes fail, which is reported below.
    std::signal(SIGPIPE, SIG_IGN);
    HoldClosedStandardDescriptors();

    std::vector<PlaybackStream> streams;
    {
        PipeWireLibrary library;
        const timespec answerWithin{static_cast<time_t>(kAnswerSeconds), 0};
        if (const std::optional<SetupFailure> failure =
                ReadPlaybackStreams("/proc", answerWithin, streams)) {
            if (failure->error == kNoAnswerError) {
                std::fprintf(stderr, HARKWELL_NO_ANSWER_FORMAT "\n",
                             static_cast<unsigned long>(kAnswerSeconds));
            } else {
                std::fprintf(stderr, HARKWELL_UNREACHABLE_FORMAT ": %s\n",
                             static_cast<unsigned>(
                                 FailureFromErrorNumber(static_cast<uint32_t>(failure->error))),
                             failure->reason.c_str());
            }
            return kExitFailed;
        }
    }

    // Read after the streams, so that every player still running is found.
    if (!WriteListing(stdout, BuildListing(streams, CachedProcRecords("/proc")), json,
                      ListingColumns::kNameAndApplication)) {
        std::fputs(HARKWELL_LIST_NOT_WRITTEN "\n", stderr);
        return kExitFailed;
    }
    return kExitListed;
}
