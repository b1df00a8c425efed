// Whether the capture takes the process tree's sound or everything else's.
#pragma once

enum class TreeMode { kInclude, kExclude };
