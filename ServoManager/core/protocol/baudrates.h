#pragma once

// The baud rates a servo's baud-rate register can select and the codes it holds for them, in the
// order the program's baud-rate lists show them (slowest first).
namespace baudrates {
// How many rates the lists hold.
constexpr int count = 11;

// The list position of a register code; the position of 1 000 000 baud for a code not listed.
int indexOfCode(int code);
// The register code at a list position; the code of 1 000 000 baud for a position outside the list.
int codeAtIndex(int index);
// The rate a register code stands for; 0 for a code not listed.
int rateOfCode(int code);
// The register code that selects `rate`; -1 for a rate no code selects.
int codeOfRate(int rate);
} // namespace baudrates
