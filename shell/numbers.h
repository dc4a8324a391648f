// Texts of numbers and of joined names, written without printf: pages make dozens of them, and
// each must be exactly the text printf would have written.
#ifndef SHELL_NUMBERS_H
#define SHELL_NUMBERS_H

#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include <netinet/in.h>

// "%ld" of value into text (12 bytes at the least); the text, which starts somewhere in text.
const char *DecimalText(int64_t value, char *text, size_t size);

// "%1.<decimals>f" of a float (decimals 0 to 6) into text (size bytes), cut at size - 1 bytes as
// snprintf cuts.
void FixedText(float value, int decimals, char *text, size_t size);

// The parts one after another into out (size bytes), as snprintf("%s%s...") writes them: cut at
// size - 1 bytes. False when they did not fit.
bool JoinTexts(char *out, size_t size, std::initializer_list<const char *> parts);

// An IPv4 address in dotted decimal, as inet_ntoa writes it, into text (16 bytes).
const char *DottedQuad(in_addr address, char *text);

#endif // SHELL_NUMBERS_H
