// The record: one line per event the stack sees, appended to the file named by
// SIMAUDIO_RECORD. Every line is written at once, so a process that dies
// leaves a complete record up to that moment.
#pragma once

#include <windows.h>

#include <cstddef>
#include <string>

// Creates or truncates the record file; without SIMAUDIO_RECORD nothing is
// recorded.
void OpenRecord();
// Writes the last line and closes the file. At process exit the other threads
// are already gone, possibly while holding the lock, so it is not taken then.
void CloseRecord(const std::string& lastLine, bool processEnding);
void Record(const std::string& line);

// Field formats shared by the record lines.
std::string Code(HRESULT code);                        // 0x%08x
std::string Hex32(DWORD value);                        // 0x%08x
std::string GuidText(REFGUID guid);                    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
std::string HexBytes(const void* bytes, size_t size);  // lowercase, no spaces
std::string Utf8(const wchar_t* text);
const char* SetOrNull(const void* pointer);
