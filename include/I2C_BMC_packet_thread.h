// The I2C link to the BMC: the link thread that owns /dev/i2c-0 and moves
// packets both ways (the card is master, the BMC slave 8; the BMC pulls the
// read feedback line low when it has a packet), the transmit and receive
// queues that meet it, and the handler that carries out the BMC's requests.
#pragma once

#include <cstdint>

#include "BMC_data_protocol.h"

// Starts the link thread and waits until it has opened the bus and readied its
// queues. 0 once it runs; 1 when `packet_receive_error_handler` is null; 2
// when the thread could not be created or ended without starting (the bus
// device cannot be opened; the thread has logged why). The error handler is
// called on the link thread with the response record of a packet whose write
// failed (error code 1). `broadcast_packet_handler` is accepted and not used.
// A link that runs already is left as it is: 0.
int init_I2C_BMC_Packet_Thread(int (*broadcast_packet_handler)(const BMC::Packet&),
                               int (*packet_receive_error_handler)(BMC::Packet*, uint8_t));

// Queues a copy of `request` for the link thread. 1 when the link is not
// running, 2 when `response` is null, else 0. When `request` asks for a
// response, `*response` is filled before returning: PING_RESPONSE when the
// write reached the bus, ERROR (node BMC) when it failed, ERROR with the
// request's node id when no acknowledgement came in 2 to 3 seconds or the
// copy could not be queued.
uint8_t set_I2C_BMC_Packet_Request(const BMC::Packet& request, BMC::Packet* response);

// Asks the link thread to end and waits for it; returns at once when the link
// is not running.
void set_I2C_BMC_Packet_Thread_Stop();

// True while the link thread runs and its queues are ready.
bool get_I2C_BMC_Packet_Thread_Start_Flag();

// True while the link runs and its loop is moving: it completed a pass
// recently, or it is inside a command that has not reached its time limit.
bool get_I2C_BMC_Packet_Thread_Alive();

// Carries out one packet the BMC sent, by its subaddress: the IPv4 settings
// and their apply, or the hostname. A packet without data is skipped. Runs on
// the link thread; the packet is only borrowed.
void I2C_BMC_Packet_Hander(BMC::Packet* packet);
