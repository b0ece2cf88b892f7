#pragma once
// The bootloader's return codes and commands by name, for the technician's messages.

// The name of a return code given as its decimal text ("19": CODE_READ_PROTECTION_ENABLED),
// or "an unknown code".
const char* ispReturnCodeName(const char* code);
// What a command line asks, by its first character ('P': "prepare sectors"), or "a command".
const char* ispCommandName(const char* line);
