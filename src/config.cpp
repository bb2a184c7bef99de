// Board identity and hostname. The serial number lives in a small EEPROM that
// the card exposes as a window of physical memory; the OS name comes from the
// host's release file; the hostname is set with hostnamectl.
#include "config.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "extra_command_handling.h"
#include "log.h"
#include "os_wrappers.h"
#include "system_info.h"

static const char* const __log_tag = "Config";

namespace {

const char* const eeprom_dir = "/dev/mem";
const off_t eeprom_mapping_address = 0x10000000;
const size_t eeprom_pec_serial_number_address = 0x50;
const uint8_t eeprom_pec_serial_number_code = 0x55;
// A record is its marker byte and up to 511 bytes of text.
const size_t eeprom_record_size = 512;
// The mapping covers the whole record that starts at its offset.
const size_t eeprom_mapping_size = eeprom_pec_serial_number_address + eeprom_record_size;

const char* const product_name = "Halvorne LN";
const char* const version = "v1.1.2";
const char* const os_info_command = "bash -c 'source /etc/os-release; echo ${PRETTY_NAME}'";

// The last hostname applied; empty at start.
char hostname[256] = {};

// Kernel access: the EEPROM window of /dev/mem, read-only.
class Read_Only_Mapping {
public:
    Read_Only_Mapping(int fd, size_t length, off_t offset)
        : address(mmap(nullptr, length, PROT_READ, MAP_PRIVATE, fd, offset)), size(length) {}
    ~Read_Only_Mapping() {
        if (address != MAP_FAILED)
            munmap(address, size);
    }
    Read_Only_Mapping(const Read_Only_Mapping&) = delete;
    Read_Only_Mapping& operator=(const Read_Only_Mapping&) = delete;
    bool valid() const { return address != MAP_FAILED; }
    const uint8_t* bytes() const { return static_cast<const uint8_t*>(address); }

private:
    void* address;
    size_t size;
};

// Copies `source` into `buffer` cut to `buffer_length` - 1 characters and
// terminated; returns the number of characters copied.
size_t copy_Text(char* buffer, size_t buffer_length, const char* source) {
    if (buffer_length == 0)
        return 0;
    size_t length = strnlen(source, buffer_length - 1);
    memcpy(buffer, source, length);
    buffer[length] = '\0';
    return length;
}

// Reads the marked text record at `address` of the EEPROM window into
// `buffer`: 0 when one was read, 1 when there is none or it cannot be read.
uint8_t get_EEPROM_Config(size_t address, uint8_t config_code, char* buffer, uint32_t buffer_length,
                          size_t* length) {
    if (access(eeprom_dir, R_OK) != 0)
        return 1;
    Unique_Fd device(open(eeprom_dir, O_RDONLY | O_CLOEXEC));
    if (device.get() <= 0) {
        LOG_ERROR("fopen() Error");
        return 1;
    }
    Read_Only_Mapping window(device.get(), eeprom_mapping_size, eeprom_mapping_address);
    if (!window.valid()) {
        LOG_ERROR("mmap() Error");
        return 1;
    }
    if (window.bytes()[address] != config_code)
        return 1;
    // One byte more than the record, so that its text is always terminated.
    char record[eeprom_record_size + 1] = {};
    memcpy(record, window.bytes() + address, eeprom_record_size);
    *length = copy_Text(buffer, buffer_length, record + 1);
    return 0;
}

} // namespace

int get_Config_Serial_Number(char* buffer, uint32_t buffer_length) {
    size_t length = 0;
    if (get_EEPROM_Config(eeprom_pec_serial_number_address, eeprom_pec_serial_number_code, buffer,
                          buffer_length, &length) != 0)
        length = copy_Text(buffer, buffer_length, "N/A");
    return static_cast<uint8_t>(length);
}

int get_Config_Product_Name(char* buffer) {
    size_t length = strlen(product_name);
    memcpy(buffer, product_name, length + 1);
    return static_cast<int>(length);
}

int get_Config_Version(char* buffer) {
    size_t length = strlen(version);
    memcpy(buffer, version, length + 1);
    return static_cast<int>(length);
}

int get_Config_OS_Info(char* buffer) {
    char output[128] = {};
    set_Command(os_info_command, output, sizeof(output));
    trim_Command_Output(output);
    return static_cast<int>(copy_Text(buffer, sizeof(output), output));
}

bool set_Config_Hostname(const char* buffer) {
    if (buffer == nullptr)
        return false;
    LOG_DEBUG("buffer=%s  ", get_Log_Escaped(buffer).c_str());
    // The name reaches a shell: only a valid hostname goes on, and a refused
    // one is not remembered, so asking for it again is refused again.
    if (!System_Info::is_Valid_Hostname(buffer)) {
        LOG_ERROR("invalid hostname refused, nothing run");
        return false;
    }
    if (strcmp(buffer, hostname) == 0)
        return false;
    copy_Text(hostname, sizeof(hostname), buffer);
    LOG_DEBUG("hostname=%s  ", get_Log_Escaped(hostname).c_str());

    // A valid name has at most 64 characters of letters, digits, hyphens and
    // dots: it fits, and the quotes keep it one argument.
    char command[128] = {};
    int formed = snprintf(command, sizeof(command), "hostnamectl set-hostname '%s'", hostname);
    if (formed < 0 || static_cast<size_t>(formed) >= sizeof(command))
        return false;
    LOG_DEBUG("buffer_command=%s  ", get_Log_Escaped(command).c_str());

    char output[128] = {};
    set_Command(command, output, sizeof(output), COMMAND_ACTION);
    trim_Command_Output(output);
    return false;
}
