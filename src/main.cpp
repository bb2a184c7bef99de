// The daemon's entry and its two-second main loop: start-up in a fixed order,
// then once per cycle the report step that tells the BMC exactly one of the
// card's description, its temperature or a keep-alive ping (or nothing).
// The BMC's requests arrive on the link thread, not here. SIGTERM (the
// service manager's stop) and SIGINT (Ctrl-C) end the loop between two
// cycles; the link then stops after the request it is carrying out.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>

#include "BMC_data_protocol.h"
#include "I2C_BMC_packet_thread.h"
#include "config.h"
#include "log.h"
#include "network.h"
#include "service_notify.h"
#include "sensor.h"
#include "system_info.h"

#ifndef PEC_SOURCE_REVISION
#define PEC_SOURCE_REVISION "0000000000000000000000000000000000000000"
#endif

static const char* const __log_tag = "main";

namespace {

// Quiet cycles after which a keep-alive ping is due.
const uint8_t timeout_2sec = 10;
// Cycles between two description sets when nothing else triggers one.
const uint8_t description_period = 60;
// The staging area of every string sent: at most 99 characters and a NUL.
const size_t string_buffer_size = 100;
const char* const cpu_product_name = "Socionext SynQuacer SC2A11";
// The pause that ends every main-loop cycle.
const int64_t cycle_pause_ms = 2000;

// Cycles since the last temperature report or ping.
volatile uint8_t timeout_count = 0;

// Builds a report to the BMC in `request` and queues it. No report asks for
// a response, so the call returns as soon as the copy is queued.
void send_Report(BMC::Packet* request, BMC::Packet* response, BMC::PACKET_TYPE type,
                 BMC::ADDRESS address, uint8_t subaddress, BMC::DATA_TYPE data_type,
                 const void* data, uint8_t data_count) {
    BMC::init_Packet(request, BMC::BMC, false, type, false, address, subaddress, data_type, data,
                     data_count);
    set_I2C_BMC_Packet_Request(*request, response);
}

// Stages `text` in `buffer`, cut to 99 characters, and sends it with its NUL.
void send_Description_String(BMC::Packet* request, BMC::Packet* response, uint8_t subaddress,
                             char* buffer, const char* text) {
    size_t length = strnlen(text, string_buffer_size - 1);
    memmove(buffer, text, length);
    buffer[length] = '\0';
    send_Report(request, response, BMC::WRITE, BMC::DESCRIPTION, subaddress, BMC::STRING, buffer,
                static_cast<uint8_t>(length + 1));
}

// One report step; `product_info_send` forces the description set. The
// tests run in this order and the first that holds decides the cycle.
void update_Broadcast_Packet(bool product_info_send) {
    static uint8_t last_update_count = 0;
    BMC::Packet request;
    BMC::Packet response;
    char buffer[string_buffer_size] = {};

    bool description = product_info_send;
    if (!description) {
        ++last_update_count;
        description = last_update_count == description_period;
    }
    // Reading the flag clears it, so a change seen in a cycle where the set
    // already went for another reason is still pending for the next one.
    if (!description)
        description = Network::get_Default_IP_Info_Update_Flag();

    if (description) {
        last_update_count = 0;

        // The OS name may be up to 127 characters: it is read into a scratch
        // area of that size and sent cut to what `buffer` holds.
        char os_info[128] = {};
        get_Config_OS_Info(os_info);
        send_Description_String(&request, &response, BMC::SUBADDRESS_DESCRIPTION_OS, buffer,
                                os_info);

        Network::Config config = Network::get_Default_IP_Info();
        send_Description_String(&request, &response, BMC::SUBADDRESS_DESCRIPTION_IP_ADDRESS, buffer,
                                config.ip4_address.c_str());

        get_Config_Serial_Number(buffer, string_buffer_size);
        send_Report(&request, &response, BMC::WRITE, BMC::DESCRIPTION,
                    BMC::SUBADDRESS_DESCRIPTION_SERIAL_NUMBER, BMC::STRING, buffer,
                    static_cast<uint8_t>(strnlen(buffer, string_buffer_size - 1) + 1));

        send_Description_String(&request, &response, BMC::SUBADDRESS_DESCRIPTION_CPU_PRUDCUT_NAME,
                                buffer, cpu_product_name);

        uint64_t memory_total_size = System_Info::get_Memory_Total_Size();
        LOG_DEBUG("Memory Total Size: %ld", static_cast<long>(memory_total_size));
        send_Report(&request, &response, BMC::WRITE, BMC::DESCRIPTION,
                    BMC::SUBADDRESS_DESCRIPTION_MEMORY_SIZE, BMC::UINT64, &memory_total_size, 1);

        uint8_t disk_count = 0;
        std::string buffer_disk_name;
        std::string buffer_disk_size;
        if (!System_Info::get_Disk_Info(&disk_count, &buffer_disk_name, &buffer_disk_size))
            return;
        LOG_DEBUG("Disk Count : %d", disk_count);
        LOG_DEBUG("Disk Name : %s", buffer_disk_name.c_str());
        LOG_DEBUG("Disk Size : %s", buffer_disk_size.c_str());
        send_Report(&request, &response, BMC::WRITE, BMC::DESCRIPTION,
                    BMC::SUBADDRESS_DESCRIPTION_DISK_COUNT, BMC::UINT8, &disk_count, 1);
        send_Description_String(&request, &response, BMC::SUBADDRESS_DESCRIPTION_DISK_NAME, buffer,
                                buffer_disk_name.c_str());
        send_Description_String(&request, &response, BMC::SUBADDRESS_DESCRIPTION_DISK_SIZE, buffer,
                                buffer_disk_size.c_str());
        return;
    }
    if (get_Onboard_Temperature_Update_Flag()) {
        float temperature_data = get_Onboard_Temperature();
        send_Report(&request, &response, BMC::WRITE, BMC::STATUS,
                    BMC::SUBADDRESS_STATUS_TEMPERATURE_ONBOARD, BMC::FLOAT, &temperature_data, 1);
        timeout_count = 0;
        return;
    }
    uint8_t quiet_cycles = timeout_count;
    timeout_count = static_cast<uint8_t>(quiet_cycles + 1);
    if (quiet_cycles >= timeout_2sec) {
        send_Report(&request, &response, BMC::PING, BMC::DESCRIPTION, 0, BMC::UINT8, nullptr, 0);
        timeout_count = 0;
    }
}

// The service manager's view: READY=1 with the first STATUS line once the
// link runs and the first description set is queued, a new STATUS line when
// the address changes, and WATCHDOG=1 on every cycle in which the link's
// loop is moving too, so that a hung main loop or link thread gets the
// daemon killed and started again. Without a link (the bus did not open)
// there is nothing to watch but this loop.
void set_Service_State(bool link_started, const char* manager) {
    static bool ready = false;
    static std::string last_address;
    std::string address = Network::get_Default_IP_Info().ip4_address;
    if (!ready || address != last_address) {
        char state[160];
        snprintf(state, sizeof(state), "%sSTATUS=%s; network manager %s; eth0 address %s",
                 ready ? "" : "READY=1\n", link_started ? "BMC link running" : "no BMC link",
                 manager, address.empty() ? "none" : address.c_str());
        set_Service_Notify(state);
        ready = true;
        last_address = address;
    }
    if (!link_started || get_I2C_BMC_Packet_Thread_Alive())
        set_Service_Notify("WATCHDOG=1");
}

// The signals that stop the daemon. They are blocked from the start of main
// (the link thread inherits the mask; commands start with it cleared), so
// they interrupt nothing: the main loop takes them in its pause between two
// cycles.
sigset_t get_Stop_Signals() {
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGINT);
    return signals;
}

// The cycle's pause: 2 s, or less when a stop signal comes (or is already
// pending). The signal's number, or 0 when the pause ran out.
int wait_Stop_Signal(const sigset_t& signals) {
    const int64_t end = get_Log_Monotonic_ms() + cycle_pause_ms;
    for (;;) {
        const int64_t left = end - get_Log_Monotonic_ms();
        if (left <= 0)
            return 0;
        struct timespec pause = {static_cast<time_t>(left / 1000),
                                 static_cast<long>(left % 1000) * 1000000L};
        int taken = sigtimedwait(&signals, nullptr, &pause);
        if (taken > 0)
            return taken;
        // Interrupted (a stop and continue): the rest of the pause.
        if (errno != EINTR)
            return 0;
    }
}

int BMC_Broadcast_Packet_Handler(const BMC::Packet& /* packet */) {
    return 0;
}

// Called on the link thread when a packet could not be written: the
// requester's acknowledgement becomes an ERROR packet.
int BMC_Packet_Receive_Error_Handler(BMC::Packet* response_packet, uint8_t /* error_code */) {
    LOG_ERROR("");
    BMC::init_Packet(response_packet, BMC::BMC, false, BMC::ERROR, false, BMC::DESCRIPTION, 0,
                     BMC::UINT8, nullptr, 0);
    return 0;
}

} // namespace

int main(int /* argc */, char** /* argv */) {
    // Before any thread or command, so that all inherit it.
    const sigset_t stop_signals = get_Stop_Signals();
    pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    setvbuf(stderr, nullptr, _IOLBF, 0);
    init_Service_Notify();

    Network::set_Interface_Name("eth0");
    init_PEC_Sensor();
    // Read before the link thread starts, which owns the network settings
    // from then on.
    const char* manager = Network::get_Manager_Type_String();
    // Without a link the daemon carries on: its reports are then dropped.
    bool link_started = init_I2C_BMC_Packet_Thread(BMC_Broadcast_Packet_Handler,
                                                   BMC_Packet_Receive_Error_Handler) == 0;

    char version[16] = {};
    get_Config_Version(version);
    LOG_INFO("Halvorne LN PEC Main Daemon %s [%s] - %s %s", version, PEC_SOURCE_REVISION, __DATE__,
             __TIME__);

    update_Broadcast_Packet(true);
    set_Service_State(link_started, manager);
    int stop_signal = 0;
    while (stop_signal == 0) {
        Network::update_Default_IP_Info();
        update_Temperature();
        update_Broadcast_Packet(false);
        set_Service_State(link_started, manager);
        stop_signal = wait_Stop_Signal(stop_signals);
    }

    // The link reads no new request; the one it is carrying out, with its
    // command, ends first (the command at its own time limit at the latest).
    char state[64];
    snprintf(state, sizeof(state), "STOPPING=1\nSTATUS=stopping on signal %d", stop_signal);
    set_Service_Notify(state);
    set_I2C_BMC_Packet_Thread_Stop();
    LOG_INFO("stopped on signal %d", stop_signal);
    return 0;
}
