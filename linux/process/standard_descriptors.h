// Guarding the standard descriptors of a program that talks to PipeWire.
#pragma once

// A standard descriptor the caller left closed would be taken by the first
// descriptor the library opens (its socket to the server) and receive our
// output or be read as input. Each closed one is held by /dev/null instead:
// no input reads as its end, and output goes nowhere.
void HoldClosedStandardDescriptors();
