// Text helpers shared across the daemon: base64 for the mail and WebDAV clients and
// for HTTP authentication, HTML escaping of parameter texts, blanks as "%20" for
// WebDAV paths, random texts for session keys and the mail transaction number (TAN),
// the hashed form of password parameters, and small comparison and conversion helpers.
#pragma once

#include <cstddef>
#include <cstdint>

// Base64 (RFC 4648 alphabet, "=" padding) of len bytes into out (size bytes, always
// zero-terminated when size > 0). CR LF follows every 80 characters; the first line
// is shorter by startColumn characters (text already written on that line). Stops at
// a group boundary when fewer than 4 bytes of room remain. Returns the output length.
size_t base64Encode(const void *data, size_t len, char *out, size_t size, int startColumn);

// Decodes base64 text into out (size bytes, always zero-terminated when size > 0).
// The first character outside the alphabet ("=" and line breaks included) ends the
// decoding. Returns the number of complete bytes produced (at most size - 1).
size_t base64Decode(const char *text, uint8_t *out, size_t size);

// Copies text into out with blank, '"', '&' (unless followed by '#', so numeric
// character references pass), '\'', '<' and '>' written as HTML entities, while the
// output is shorter than size - 8. Always zero-terminated when size > 0; returns the
// output length.
size_t htmlEscape(const char *text, char *out, size_t size);

// Copies text into out with every blank written as "%20", while the output is shorter
// than size - 4. Always zero-terminated when size > 0; returns the output length.
size_t encodeSpaces(const char *text, char *out, size_t size);

// Writes n random characters from 0-9, A-Z and a-z into out (not terminated), drawn
// from the OS random source without bias. False only when no random source answered
// (the output is then all '0'); callers that need a secret must not use it then.
bool randomAlnum(char *out, size_t n);

// The mail transaction number: 16 letters and digits, "NoTAN" until the first is made.
extern char currentTan[17];

// Writes 16 random letters and digits and a zero byte into buf (17 bytes), or into
// currentTan when buf is null. Returns randomAlnum's result.
bool newTan(char *buf = nullptr);

// The hashed form of a password: the salt "qz", then for each chunk of up to 8
// characters the 11 characters that DES crypt gives after the salt. Passwords of at
// most 32 characters (4 chunks, 46 characters of hashed form).
constexpr size_t PasswordMaxLength = 32;
constexpr size_t PasswordHashMaxLength = 2 + 11 * (PasswordMaxLength / 8);

// Writes the hashed form of the first len characters of password into out (room for
// 2 + 11 * ((len + 7) / 8) + 1 bytes). False when len is above 32.
bool passwordHashInto(const char *password, size_t len, char *out);

// The hashed form in a new buffer the caller frees with free(); null for len <= 0 or
// len above 32.
char *passwordHash(const char *password, int len);

// True when the first len characters of password (len < 0: the whole text) hash to
// hashed. An empty or null hashed form matches only an empty password.
bool passwordMatches(const char *password, int len, const char *hashed);

// Compares a and b case-insensitively (every character above 'Z' folded down by 32)
// over at most n characters; a that ends first compares equal. n < 0: texts of
// different lengths give the length difference, else the whole texts are compared.
// A null text or n above 128: -1.
int strCaseCmpN(const char *a, const char *b, int n);

// The value of two hexadecimal digits (not validated: other characters count as their
// code minus '0').
int hexByte(char high, char low);

// The native 32-bit word at p, which need not be aligned.
uint32_t readU32(const void *p);
