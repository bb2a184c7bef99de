// Board identity and hostname: the serial number from the EEPROM window of
// physical memory, the fixed product name and version, the OS display name,
// and the BMC's hostname request.
//
// Every getter fills the caller's buffer with a terminated text and returns
// the number of characters written, without the NUL.
#pragma once

#include <cstdint>

// The serial number stored in the EEPROM window, or "N/A" when none can be
// read; cut to `buffer_length` - 1 characters. The length is reported modulo
// 256.
int get_Config_Serial_Number(char* buffer, uint32_t buffer_length);
// "Halvorne LN" (11).
int get_Config_Product_Name(char* buffer);
// "v1.1.2" (6).
int get_Config_Version(char* buffer);
// PRETTY_NAME of /etc/os-release, at most 127 characters; `buffer` holds at
// least 128 bytes. Empty (0) when it cannot be read.
int get_Config_OS_Info(char* buffer);
// Applies the hostname `buffer` with "hostnamectl set-hostname" unless it is
// the name applied last. A name that is not a valid hostname is refused with
// an ERROR line: nothing is run and it is not remembered. Always false.
bool set_Config_Hostname(const char* buffer);
