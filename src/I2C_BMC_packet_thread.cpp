// The I2C link to the BMC. One thread owns /dev/i2c-0: every 20 ms it reads
// the feedback line; low means the BMC has a packet, which is read and
// carried out here; otherwise the oldest queued packet is written, 200 ms
// after it was taken from the queue. Requesters on other threads meet the
// link through the transmit queue and, when they want an acknowledgement,
// the receive queue.
#include "I2C_BMC_packet_thread.h"

#include <fcntl.h>
#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "config.h"
#include "extra_command_handling.h"
#include "linux_gpio.h"
#include "log.h"
#include "network.h"
#include "os_wrappers.h"
#include "queue.h"

static const char* const __log_tag = "I2C Packet";

namespace {

// Kernel access: the bus device and its transfers.
ssize_t bus_Read(int fd, uint8_t* buffer, size_t length) {
    return read(fd, buffer, length);
}

ssize_t bus_Write(int fd, const uint8_t* buffer, size_t length) {
    return write(fd, buffer, length);
}

// The system's text for `error`, safe to use from either thread.
class Error_Text {
public:
    explicit Error_Text(int error) {
        const char* found = strerror_r(error, text, sizeof(text));
        if (found != text)
            snprintf(text, sizeof(text), "%s", found);
    }
    const char* get() const { return text; }

private:
    char text[128] = {};
};

using Packet_Queue = Queue<BMC::Packet*>;

const unsigned int queue_size = 200;
const uint8_t packet_rx_timeout_value_sec = 3;
const char* const i2c_node_path = "/dev/i2c-0";
const uint8_t i2c_bmc_slave_address = 8;
// The BMC reads at most this much in one transfer: one more than the
// longest packet.
const size_t receive_buffer_size = 256;
// Protocol pacing, fixed with the BMC.
const useconds_t link_pass_us = 20 * 1000;
const useconds_t write_pause_us = 200 * 1000;
const useconds_t start_poll_us = 10 * 1000;

// The flags publish the thread's set-up and its end to the other thread:
// stored with release, loaded with acquire.
std::atomic<bool> thread_start_flag{false};
std::atomic<bool> thread_stop_request_flag{false};
std::atomic<bool> thread_ended_flag{false};

// For the watchdog: when the loop last completed a pass, and until when the
// command the thread is running may take (0 when none runs); monotonic ms.
std::atomic<int64_t> last_pass_ms{0};
std::atomic<int64_t> command_deadline_ms{0};
// A pass longer than this (outside a command) means the loop is stuck: a
// pass is 20 ms plus one packet and its request's file work.
const int64_t pass_silence_limit_ms = 30000;
pthread_t thread;
int (*BMC_Packet_Receive_Error_Handler)(BMC::Packet*, uint8_t) = nullptr;

Packet_Queue TX_queue;
Packet_Queue RX_queue;
pthread_mutex_t TX_queue_mutex = PTHREAD_MUTEX_INITIALIZER;
pthread_mutex_t RX_queue_mutex = PTHREAD_MUTEX_INITIALIZER;
// Default attributes: timed waits run on the wall clock.
pthread_cond_t RX_queue_condition = PTHREAD_COND_INITIALIZER;

// TX_queue's lock handler: 1 without a mutex, else 0. (The queue locks and
// unlocks in two calls, so no scoped guard fits here.)
uint8_t set_Mutex_Lock(bool enable, void* data) {
    if (data == nullptr)
        return 1;
    pthread_mutex_t* mutex = static_cast<pthread_mutex_t*>(data);
    if (enable)
        pthread_mutex_lock(mutex);
    else
        pthread_mutex_unlock(mutex);
    return 0;
}

unsigned int get_TX_Queue_Count() {
    Mutex_Guard lock(&TX_queue_mutex);
    return TX_queue.get_Count();
}

// The header fields in wire order.
void get_Wire_Header(const BMC::Packet& packet, uint8_t* wire, uint8_t header_length) {
    const uint8_t header[BMC::packet_header_length] = {
        packet.packet_length, packet.packet_control1, packet.packet_control2,
        static_cast<uint8_t>(packet.address), packet.subaddress};
    memcpy(wire, header, header_length);
}

void set_Error_Response(BMC::Packet* response, BMC::NODE_ID node_id) {
    BMC::init_Packet(response, node_id, false, BMC::ERROR, false, BMC::DESCRIPTION, 0, BMC::UINT8,
                     nullptr, 0);
}

// Releases what is still queued when the link stops, so that a later start
// with fresh queues loses no memory.
void release_Queued_Packets() {
    BMC::Packet* packet = nullptr;
    while (TX_queue.Dequeue(&packet) == Packet_Queue::QUEUE_OK)
        delete packet;
    Mutex_Guard lock(&RX_queue_mutex);
    while (RX_queue.Dequeue(&packet) == Packet_Queue::QUEUE_OK)
        delete packet;
}

// Reads one packet from the BMC and carries it out.
void set_I2C_Packet_Read(int fd) {
    std::unique_ptr<BMC::Packet> tmp_response_packet(new BMC::Packet);
    uint8_t buffer[receive_buffer_size] = {};
    select_Slave(fd, i2c_bmc_slave_address);
    // A failed or short read leaves zeros: a failed one reads as a packet of
    // length 0, which the handler skips.
    ssize_t received = bus_Read(fd, buffer, sizeof(buffer));
    static_cast<void>(received);

    // Bytes of the 256 beyond the packet's length are ignored.
    BMC::init_Packet_From_Wire(tmp_response_packet.get(), buffer, sizeof(buffer));
    I2C_BMC_Packet_Hander(tmp_response_packet.get());
}

// Writes `packet` with its length byte first in one transfer. On failure the
// error handler is given `response_packet`.
bool set_I2C_Packet_Write(int fd, const BMC::Packet& packet, BMC::Packet* response_packet) {
    select_Slave(fd, i2c_bmc_slave_address);
    uint8_t length = packet.packet_length;
    uint8_t header_length = BMC::get_Packet_Header_Length(packet);
    uint8_t data_length = BMC::get_Packet_Data_Length(packet);
    std::unique_ptr<uint8_t[]> wire(new uint8_t[length]());
    get_Wire_Header(packet, wire.get(), header_length);
    if (data_length != 0 && packet.data != nullptr)
        memcpy(wire.get() + header_length, packet.data, data_length);

    ssize_t result = bus_Write(fd, wire.get(), length);
    if (result <= 0) {
        Error_Text error(errno);
        LOG_ERROR("packet write failed, %d, %s", static_cast<int>(result), error.get());
        BMC_Packet_Receive_Error_Handler(response_packet, 1);
        return false;
    }
    LOG_DEBUG("Write Packet length: %d", length);
    return true;
}

// Writes the oldest queued packet and, when it asks for a response, hands
// the acknowledgement to the waiting requester.
void set_I2C_Packet_Transmit(int fd) {
    BMC::Packet* dequeued = nullptr;
    TX_queue.Dequeue(&dequeued);
    std::unique_ptr<BMC::Packet> request_packet(dequeued);
    if (!request_packet)
        return;
    std::unique_ptr<BMC::Packet> response_packet(new BMC::Packet);
    usleep(write_pause_us);
    bool written = set_I2C_Packet_Write(fd, *request_packet, response_packet.get());
    if (!BMC::get_Packet_Response_Require_Flag(*request_packet))
        return;

    BMC::init_Packet(response_packet.get(), BMC::BMC, false, BMC::PING_RESPONSE, false,
                     BMC::DESCRIPTION, 0, BMC::UINT8, nullptr, 0);
    if (!written)
        BMC_Packet_Receive_Error_Handler(response_packet.get(), 1);
    Mutex_Guard lock(&RX_queue_mutex);
    if (RX_queue.Enqueue(response_packet.get()) == Packet_Queue::QUEUE_OK)
        static_cast<void>(response_packet.release()); // the requester owns it now
    pthread_cond_signal(&RX_queue_condition);
}

// Publishes the thread's end once everything it held is released: declared
// first in the thread, it is destroyed last.
struct Thread_End_Notice {
    Thread_End_Notice() = default;
    Thread_End_Notice(const Thread_End_Notice&) = delete;
    Thread_End_Notice& operator=(const Thread_End_Notice&) = delete;
    ~Thread_End_Notice() { thread_ended_flag.store(true, std::memory_order_release); }
};

// The thread's entry (its argument is unused): 1 when the bus cannot be
// opened, null after a stop.
void* I2C_BMC_Packet_Thread(void* /* arg */) {
    Thread_End_Notice end_notice;
    Linux_GPIO read_feedback_gpio;
    if (read_feedback_gpio.init(0, 0, "read feedback", Linux_GPIO::IN, Linux_GPIO::NONE, false) !=
        0)
        LOG_ERROR("init GPIO Failed");

    Unique_Fd bus(open(i2c_node_path, O_RDWR | O_CLOEXEC));
    if (!bus.valid()) {
        LOG_ERROR("open() error");
        return reinterpret_cast<void*>(1);
    }

    TX_queue.init(queue_size);
    RX_queue.init(queue_size);
    TX_queue.set_Lock_Control_Handler(set_Mutex_Lock, &TX_queue_mutex);
    set_Command_Deadline_Sink(&command_deadline_ms);
    last_pass_ms.store(get_Log_Monotonic_ms());
    thread_start_flag.store(true, std::memory_order_release);
    LOG_DEBUG("thread start");

    auto stop_requested = [] { return thread_stop_request_flag.load(std::memory_order_acquire); };
    while (!stop_requested()) {
        // A line that cannot be read counts as low, as the GPIO module reports.
        // Once a stop is asked for, no new request is read: the one being
        // carried out when it came is the last.
        if (!read_feedback_gpio.get_Value()) {
            if (stop_requested())
                break;
            set_I2C_Packet_Read(bus.get());
        } else if (get_TX_Queue_Count() != 0) {
            set_I2C_Packet_Transmit(bus.get());
        }
        last_pass_ms.store(get_Log_Monotonic_ms());
        usleep(link_pass_us);
    }

    thread_stop_request_flag.store(false, std::memory_order_release);
    thread_start_flag.store(false, std::memory_order_release);
    release_Queued_Packets();
    bus.close_Now();
    LOG_DEBUG("thread stop");
    return nullptr;
}

} // namespace

int init_I2C_BMC_Packet_Thread(int (* /* broadcast_packet_handler */)(const BMC::Packet&),
                               int (*packet_receive_error_handler)(BMC::Packet*, uint8_t)) {
    if (packet_receive_error_handler == nullptr)
        return 1;
    // A link that runs already is left as it is.
    if (thread_start_flag.load(std::memory_order_acquire))
        return 0;
    BMC_Packet_Receive_Error_Handler = packet_receive_error_handler;
    thread_stop_request_flag.store(false, std::memory_order_release);
    thread_start_flag.store(false, std::memory_order_release);
    thread_ended_flag.store(false, std::memory_order_release);

    int created = pthread_create(&thread, nullptr, I2C_BMC_Packet_Thread, nullptr);
    if (created != 0) {
        Error_Text error(created);
        LOG_ERROR("thread create error, %s", error.get());
        return 2;
    }
    while (!thread_start_flag.load(std::memory_order_acquire)) {
        // The thread ends without starting when the bus cannot be opened; it
        // has logged why, and the daemon carries on without a link.
        if (thread_ended_flag.load(std::memory_order_acquire)) {
            pthread_join(thread, nullptr);
            return 2;
        }
        usleep(start_poll_us);
    }
    return 0;
}

uint8_t set_I2C_BMC_Packet_Request(const BMC::Packet& request, BMC::Packet* response) {
    if (!thread_start_flag.load(std::memory_order_acquire))
        return 1;
    if (response == nullptr)
        return 2;

    std::unique_ptr<BMC::Packet> tmp_request(new BMC::Packet);
    BMC::init_Packet(tmp_request.get(), request);
    // A copy the full queue refuses stays ours and is released here.
    bool queued = TX_queue.Enqueue(tmp_request.get()) == Packet_Queue::QUEUE_OK;
    if (queued)
        static_cast<void>(tmp_request.release()); // the link thread owns it now
    if (!BMC::get_Packet_Response_Require_Flag(request))
        return 0;
    // Nothing can acknowledge a packet that was not queued: the answer is the
    // one a wait that ran out would give.
    if (!queued) {
        set_Error_Response(response, BMC::get_Packet_Node_ID(request));
        return 0;
    }

    struct timeval now = {};
    gettimeofday(&now, nullptr);
    struct timespec deadline = {};
    deadline.tv_sec = now.tv_sec + packet_rx_timeout_value_sec;
    deadline.tv_nsec = 0;

    Mutex_Guard lock(&RX_queue_mutex);
    int wait_result = 0;
    while (RX_queue.get_Count() == 0 && wait_result != ETIMEDOUT)
        wait_result = pthread_cond_timedwait(&RX_queue_condition, &RX_queue_mutex, &deadline);
    if (wait_result == ETIMEDOUT) {
        set_Error_Response(response, BMC::get_Packet_Node_ID(request));
    } else {
        BMC::Packet* dequeued = nullptr;
        RX_queue.Dequeue(&dequeued);
        std::unique_ptr<BMC::Packet> tmp_response(dequeued);
        BMC::init_Packet(response, *tmp_response);
    }
    return 0;
}

void set_I2C_BMC_Packet_Thread_Stop() {
    if (!thread_start_flag.load(std::memory_order_acquire))
        return;
    thread_stop_request_flag.store(true, std::memory_order_release);
    pthread_join(thread, nullptr);
}

bool get_I2C_BMC_Packet_Thread_Alive() {
    if (!thread_start_flag.load(std::memory_order_acquire))
        return false;
    int64_t now = get_Log_Monotonic_ms();
    return now - last_pass_ms.load() < pass_silence_limit_ms || now < command_deadline_ms.load();
}

bool get_I2C_BMC_Packet_Thread_Start_Flag() {
    return thread_start_flag.load(std::memory_order_acquire);
}

void I2C_BMC_Packet_Hander(BMC::Packet* packet) {
    if (packet == nullptr)
        return;
    uint8_t subaddress = BMC::get_Packet_Subaddress(*packet);
    uint8_t data_length = BMC::get_Packet_Data_Length(*packet);
    // Every request carries its value in the data; without data there is
    // nothing to read.
    if (data_length == 0 || packet->data == nullptr) {
        LOG_DEBUG("packet without data skipped, subaddress=%d ", subaddress);
        return;
    }
    // The BMC need not send a terminator: the callees get a copy terminated
    // after the last data byte.
    char data[BMC::max_packet_data_length + 1] = {};
    memcpy(data, packet->data, data_length);

    switch (subaddress) {
    case BMC::SUBADDRESS_NETWORK_CONFIG_MODE:
        LOG_DEBUG("MODE=%d ", static_cast<uint8_t>(data[0]));
        Network::set_Config(Network::MODE, data);
        break;
    case BMC::SUBADDRESS_NETWORK_CONFIG_IP_ADDRESS:
        LOG_DEBUG("IP_ADDRESS=%s ", get_Log_Escaped(data).c_str());
        Network::set_Config(Network::IP_ADDRESS, data);
        break;
    case BMC::SUBADDRESS_NETWORK_CONFIG_GATEWAY:
        LOG_DEBUG("GATEWAY=%s ", get_Log_Escaped(data).c_str());
        Network::set_Config(Network::GATEWAY, data);
        break;
    case BMC::SUBADDRESS_NETWORK_CONFIG_SUBNETMASK:
        LOG_DEBUG("SUBNETMASK=%s ", get_Log_Escaped(data).c_str());
        Network::set_Config(Network::SUBNETMASK, data);
        break;
    case BMC::SUBADDRESS_NETWORK_CONFIG_DNS1:
        LOG_DEBUG("DNS1=%s ", get_Log_Escaped(data).c_str());
        Network::set_Config(Network::DNS1, data);
        break;
    case BMC::SUBADDRESS_NETWORK_CONFIG_DNS2:
        LOG_DEBUG("DNS2=%s ", get_Log_Escaped(data).c_str());
        Network::set_Config(Network::DNS2, data);
        break;
    case BMC::SUBADDRESS_NETWORK_CONFIG_APPLY:
        LOG_DEBUG("APPLY=%d ", static_cast<uint8_t>(data[0]));
        Network::set_Config_Apply();
        break;
    case BMC::SUBADDRESS_NETWORK_CONFIG_HOSTNAME:
        LOG_DEBUG("HOSTNAME=%s ", get_Log_Escaped(data).c_str());
        set_Config_Hostname(data);
        break;
    default:
        LOG_DEBUG("default=%s ", get_Log_Escaped(data).c_str());
        break;
    }
}
