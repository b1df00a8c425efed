#include "linux/tool/command_line.h"

#include <cstdlib>

#include "common/argument_rules.h"

uint32_t ParseProcessId(const char* text) {
    return ProcessIdFromNumber(std::strtol(text, nullptr, 10));
}

TreeMode ParseTreeMode(const char* text) {
    return IsIncludeWord(text) ? TreeMode::kInclude : TreeMode::kExclude;
}
