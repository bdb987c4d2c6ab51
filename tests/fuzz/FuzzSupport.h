#pragma once
// Shared by the fuzz targets: the parsers read files, so each input is written to a file of this
// process first; properties that must hold after any input are checked and end the run when broken.
#include <cstddef>
#include <cstdint>
#include <string>

// Writes the input to this process's file for `tag` (in $TMPDIR or /tmp) and returns its path.
std::string InputFile(const uint8_t* data, size_t size, const char* tag);
// Ends the run with a message (libFuzzer then keeps the input) when ok is false.
void FuzzCheck(bool ok, const char* property);
