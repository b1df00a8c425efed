// How a run ended, as its exit status.
#pragma once

constexpr int kExitStopped = 0;  // captured until standard input ended
constexpr int kExitFailed = 1;   // setting up or capturing failed
constexpr int kExitUsage = 2;    // too few arguments
