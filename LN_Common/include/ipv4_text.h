// The text forms of IPv4 settings: dotted quads, netmasks and prefix lengths,
// and the conversions between them. Pure functions; every number is parsed
// with a bound on its digits and its value.
#pragma once

#include <cstdint>
#include <string>

// Four decimal numbers 0..255 separated by dots: no leading zeros (some tools
// read them as octal), no sign, no spaces, nothing after. The address, first
// octet in the most significant byte, goes to `*value`.
bool parse_Dotted_Quad(const char* text, uint32_t* value);

// The prefix length 0..32 of a dotted netmask whose one bits are contiguous
// from the top; false for any other text.
bool get_Netmask_Prefix(const char* text, unsigned int* prefix);

// Reads a prefix length 0..32 from the digits at the start of `text`. With
// `whole_text` nothing may follow the digits. False when there is no digit,
// the number is out of range, or (with `whole_text`) other text follows.
bool parse_Prefix_Length(const char* text, bool whole_text, unsigned int* prefix);

// The dotted netmask of a prefix length 0..32.
std::string get_Prefix_Netmask(unsigned int prefix);
