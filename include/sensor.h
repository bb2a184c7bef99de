// Onboard temperature sensor (ADM1032 type) on I2C adapter 0: found and, when
// needed, registered with the kernel at start-up; read through its hwmon
// device once per main-loop cycle, remembering whether the value changed.
#pragma once

#include <cstdint>

// The two addresses the sensor may answer at, tried in this order.
enum I2C_TEMP : uint8_t {
    NOT_AVAILABLE = 0,
    ADDR1 = 0x4C,
    ADDR2 = 0x4D,
};

// Finds the sensor and its hwmon directory (may take 5 s when the sensor has
// to be registered). A missing sensor is logged once; readings are then
// skipped for the life of the process.
void init_PEC_Sensor();
// Reads temp2_input; raises the change flag when the value differs from the
// last one. An unreadable value counts as 0.0 degrees.
void update_Temperature();
// The change flag; reading it clears it.
bool get_Onboard_Temperature_Update_Flag();
// Last temperature read, in degrees Celsius.
float get_Onboard_Temperature();
// The first address that answers a probe on adapter 0, or NOT_AVAILABLE.
I2C_TEMP get_Onboard_Temperature_Sensor_Detect();
