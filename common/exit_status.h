// How a run ended, as its exit status.
#pragma once

constexpr int kExitStopped = 0;  // captured until standard input ended
constexpr int kExitListed = 0;   // a lister wrote its list
constexpr int kExitFailed = 1;   // setting up, capturing or listing failed
constexpr int kExitUsage = 2;    // the arguments were wrong
