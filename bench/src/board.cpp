// The simulated BMC and board as the card observes them on its devices.

#include "board.h"

#include <algorithm>
#include <cerrno>

namespace pec_bench {

Board::Board(const Scenario& scenario, Trace& trace) : scenario_(scenario), trace_(trace) {}

void Board::queue(const Bytes& raw, size_t deliver) {
    std::lock_guard<std::mutex> lock(m_);
    to_card_.push_back({raw, deliver == 0 || deliver > raw.size() ? raw.size() : deliver});
    TraceEvent ev;
    ev.event = "bmc_queue";
    ev.packet.raw = raw;
    ev.value = static_cast<int>(to_card_.size());
    ev.detail = describe(ev.packet);
    if (deliver != 0 && deliver < raw.size()) {
        ev.detail += " (delivered cut to " + std::to_string(deliver) + " bytes)";
    }
    trace_.record(ev);
}

Faults Board::faults() const {
    std::lock_guard<std::mutex> lock(m_);
    return faults_;
}

void Board::set_faults(const Faults& f) {
    std::lock_guard<std::mutex> lock(m_);
    faults_ = f;
}

int Board::line_reads() const {
    std::lock_guard<std::mutex> lock(m_);
    return line_reads_;
}

// The result of a write to the BMC under the injected write faults.
int Board::take_write_fault(size_t len) {
    if (faults_.write_fail != 0) {
        if (faults_.write_fail > 0) {
            --faults_.write_fail;
        }
        return -EREMOTEIO;
    }
    if (faults_.write_short > 0) {
        --faults_.write_short;
        return static_cast<int>(len / 2);
    }
    return static_cast<int>(len);
}

int Board::card_write(int slave, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(m_);
    TraceEvent ev;
    ev.device = "i2c-0";
    ev.value = slave;
    if (slave < 0) {
        ev.result = -EINVAL; // no slave selected
    } else if (slave == bmc_slave) {
        ev.result = take_write_fault(bytes.size());
        ev.event = "card_write";
        ev.packet.raw = bytes;
    } else if (slave == scenario_.sensor.address) {
        ev.result = static_cast<int>(bytes.size());
        ev.event = "sensor_write";
    } else {
        ev.result = -EREMOTEIO;
        ev.event = "nack";
    }
    trace_.record(ev);
    return ev.result;
}

// A read that takes the first queued packet: what was delivered of it, then
// the idle fill (0xff when the idle BMC NACKs).
int Board::read_queued(size_t n, Bytes* out, TraceEvent* ev) {
    Outgoing o = std::move(to_card_.front());
    to_card_.pop_front();
    uint8_t fill = faults_.idle_fill < 0 ? 0xFF : static_cast<uint8_t>(faults_.idle_fill);
    out->assign(n, fill);
    auto k = static_cast<long>(std::min(o.deliver, n));
    std::copy(o.bytes.begin(), o.bytes.begin() + k, out->begin());
    ev->packet.raw.assign(o.bytes.begin(), o.bytes.begin() + k);
    return static_cast<int>(n);
}

// A read with nothing queued: the idle fill, or a NACK.
int Board::read_idle(size_t n, Bytes* out, TraceEvent* ev) const {
    if (faults_.idle_fill < 0) {
        ev->detail = "nack";
        return -EREMOTEIO;
    }
    out->assign(n, static_cast<uint8_t>(faults_.idle_fill));
    ev->detail = "nothing queued, " + hex_byte(static_cast<unsigned>(faults_.idle_fill)) + " bytes";
    return static_cast<int>(n);
}

int Board::card_read(int slave, size_t n, Bytes* out) {
    std::lock_guard<std::mutex> lock(m_);
    TraceEvent ev;
    ev.event = "card_read";
    ev.device = "i2c-0";
    ev.value = slave;
    out->assign(n, 0);
    if (slave != bmc_slave) {
        ev.result = -EREMOTEIO;
        ev.event = "nack";
    } else if (faults_.read_fail != 0) {
        ev.result = -EREMOTEIO;
        if (faults_.read_fail > 0) {
            --faults_.read_fail;
        }
    } else if (!to_card_.empty()) {
        ev.result = read_queued(n, out, &ev);
    } else {
        ev.result = read_idle(n, out, &ev);
    }
    trace_.record(ev);
    return ev.result;
}

// SMBus transfers are answered at the sensor's address and at the BMC's; a
// read gets 0x2a.
int Board::smbus(int slave, bool read, int size, i2c_smbus_data* data) {
    std::lock_guard<std::mutex> lock(m_);
    bool present = !faults_.smbus_fail && slave >= 0 &&
                   ((scenario_.sensor.address != 0 && slave == scenario_.sensor.address) ||
                    slave == bmc_slave);
    if (present && read) {
        data->byte = 0x2A;
        data->word = 0x002A;
    }
    TraceEvent ev;
    ev.event = "smbus";
    ev.device = "i2c-0";
    ev.value = slave;
    ev.result = present ? 0 : -ENXIO;
    ev.detail = "probe 0x" + hex_byte(static_cast<unsigned>(slave)) + " size " +
                std::to_string(size) + (read ? " read" : " write") +
                (present ? ": answered" : ": no device");
    trace_.record(ev);
    return ev.result;
}

// Line 0 is the read feedback line, low while a packet waits; the other
// lines read high. A change of line 0 is traced.
int Board::line_value(unsigned line) {
    std::lock_guard<std::mutex> lock(m_);
    ++line_reads_;
    if (faults_.line_read_fail) {
        return -EIO;
    }
    if (line != 0) {
        return 1;
    }
    int v = feedback_level();
    if (v != last_line_value_) {
        last_line_value_ = v;
        TraceEvent ev;
        ev.event = "line_value";
        ev.device = "line";
        ev.value = v;
        trace_.record(ev);
    }
    return v;
}

} // namespace pec_bench
