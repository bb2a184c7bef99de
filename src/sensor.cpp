// Onboard temperature sensor: probing on the I2C bus at start-up, hwmon
// registration and lookup, and the reading taken once per main-loop cycle.
#include "sensor.h"

#include <fcntl.h>
#include <linux/i2c-dev.h>
#include <linux/i2c.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "extra_command_handling.h"
#include "log.h"
#include "os_wrappers.h"

static const char* const __log_tag = "Sensor";

namespace {

const uint8_t temp_sensor_i2c_adapter_number = 0;

char hwmon_temp[32] = {};
float pec_temperature = 0.0f;
bool pec_temperature_update_flag = false;
bool onboard_temp_sensor_notfound = false;

// Kernel access: the bus device, opened only for a probe at start-up.

// One SMBus byte transfer (size 2, command 0: the byte at register 0); true
// when the device answered.
bool smbus_Receive_Byte(int fd) {
    i2c_smbus_data data;
    memset(&data, 0, sizeof(data));
    i2c_smbus_ioctl_data request;
    memset(&request, 0, sizeof(request));
    request.read_write = I2C_SMBUS_READ;
    request.command = 0;
    request.size = I2C_SMBUS_BYTE_DATA;
    request.data = &data;
    return ioctl(fd, I2C_SMBUS, &request) >= 0;
}

bool get_I2C_Slave_Check(uint8_t i2c_adaptor_number, uint8_t slave_address) {
    char path[32];
    snprintf(path, sizeof(path), "/dev/i2c-%d", i2c_adaptor_number);
    Unique_Fd bus(open(path, O_RDWR | O_CLOEXEC));
    if (!bus.valid()) {
        LOG_ERROR("i2c file open error!");
        return false;
    }
    select_Slave(bus.get(), slave_address);
    return smbus_Receive_Byte(bus.get());
}

// The sysfs directory of the sensor's adapter. Kernels with the i2c-adapter
// class (Debian 12's) list the adapter there; kernels without it (Debian
// 13's) only on the I2C bus, where the same directory always is.
void format_Adapter_Directory(char* buffer, size_t length) {
    snprintf(buffer, length, "/sys/class/i2c-adapter/i2c-%d", temp_sensor_i2c_adapter_number);
    if (access(buffer, F_OK) != 0)
        snprintf(buffer, length, "/sys/bus/i2c/devices/i2c-%d", temp_sensor_i2c_adapter_number);
}

// The kernel's directory of the client at `address` on the sensor's adapter,
// followed by `below` ("" for the client itself).
void format_Device_Path(char* buffer, size_t length, uint8_t address, const char* below) {
    char adapter[64];
    format_Adapter_Directory(adapter, sizeof(adapter));
    snprintf(buffer, length, "%s/%d-00%2x%s", adapter, temp_sensor_i2c_adapter_number, address,
             below);
}

bool get_Device_Path_Exist(uint8_t address, const char* below) {
    char path[128];
    format_Device_Path(path, sizeof(path), address, below);
    return access(path, R_OK) == 0;
}

bool get_Hwmon_Directory_Exist(uint8_t address) {
    return get_Device_Path_Exist(address, "/hwmon");
}

// Registers an adm1032 at `address` with the kernel and gives its driver
// time to bind. A client the kernel already has there (registered by an
// earlier run, its driver not bound) is left as it is: the kernel refuses a
// second one at a taken address.
void register_Sensor(uint8_t address) {
    if (get_Device_Path_Exist(address, ""))
        return;
    char adapter[64];
    format_Adapter_Directory(adapter, sizeof(adapter));
    char command[128];
    snprintf(command, sizeof(command), "echo adm1032 0x%x > %s/new_device", address, adapter);
    if (set_Command(command, nullptr, 0, COMMAND_ACTION) != 0)
        LOG_ERROR("bmc temp sensor load error");
    // The driver needs a moment to bind and create its hwmon device.
    sleep(5);
}

// temp2_input holds thousandths of a degree: an optional sign and digits,
// then at most white space. Anything else is no reading.
bool parse_Millidegrees(const char* text, long* value) {
    errno = 0;
    char* end = nullptr;
    long parsed = strtol(text, &end, 10);
    if (end == text || errno == ERANGE || parsed < INT_MIN || parsed > INT_MAX)
        return false;
    while (*end == ' ' || *end == '\t' || *end == '\r' || *end == '\n')
        ++end;
    if (*end != '\0')
        return false;
    *value = parsed;
    return true;
}

} // namespace

I2C_TEMP get_Onboard_Temperature_Sensor_Detect() {
    if (get_I2C_Slave_Check(temp_sensor_i2c_adapter_number, ADDR1))
        return ADDR1;
    if (get_I2C_Slave_Check(temp_sensor_i2c_adapter_number, ADDR2))
        return ADDR2;
    return NOT_AVAILABLE;
}

void init_PEC_Sensor() {
    I2C_TEMP address = NOT_AVAILABLE;
    if (get_Hwmon_Directory_Exist(ADDR1)) {
        address = ADDR1;
    } else if (get_Hwmon_Directory_Exist(ADDR2)) {
        address = ADDR2;
    } else {
        address = get_Onboard_Temperature_Sensor_Detect();
        if (address == NOT_AVAILABLE) {
            LOG_ERROR("Onboard Temperature Sensor not found");
            onboard_temp_sensor_notfound = true;
            return;
        }
        register_Sensor(address);
        // A device that answered the probe but not its driver (no lm90
        // driver in the kernel, or a device of another kind) has no hwmon
        // directory: there is nothing to read, so it is treated as absent.
        if (!get_Hwmon_Directory_Exist(address)) {
            LOG_ERROR("Onboard Temperature Sensor at 0x%X has no hwmon device", address);
            onboard_temp_sensor_notfound = true;
            return;
        }
    }

    char directory[128];
    format_Device_Path(directory, sizeof(directory), address, "/hwmon");
    char command[sizeof(directory) + 8];
    snprintf(command, sizeof(command), "ls %s", directory);
    if (set_Command(command, hwmon_temp, sizeof(hwmon_temp) - 1) != 0)
        LOG_ERROR("get bmc node hwmon path error");
    LOG_INFO("Onboard Temperature sensor address: 0x%X", address);
    hwmon_temp[strcspn(hwmon_temp, "\n")] = '\0';
    LOG_INFO("PEC Sensor init");
}

void update_Temperature() {
    if (onboard_temp_sensor_notfound)
        return;
    char command[128];
    snprintf(command, sizeof(command), "cat /sys/class/hwmon/%s/temp2_input", hwmon_temp);
    float temperature = 0.0f;
    char output[128] = {};
    long millidegrees = 0;
    if (set_Command(command, output, 16) == 0 && parse_Millidegrees(output, &millidegrees))
        temperature = static_cast<float>(millidegrees) / 1000.0f;
    LOG_DEBUG("temperature: %.2f", temperature);
    if (temperature != pec_temperature) {
        pec_temperature_update_flag = true;
        pec_temperature = temperature;
    }
}

bool get_Onboard_Temperature_Update_Flag() {
    bool flag = pec_temperature_update_flag;
    pec_temperature_update_flag = false;
    return flag;
}

float get_Onboard_Temperature() {
    return pec_temperature;
}
