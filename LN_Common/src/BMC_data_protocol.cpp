// Building, copying and reading BMC packets.
#include "BMC_data_protocol.h"

#include <cstring>

namespace BMC {

namespace {

bool is_Header_Only_Type(PACKET_TYPE type) {
    return type == PING || type == PING_RESPONSE;
}

uint8_t get_Type_Header_Length(const Packet& packet) {
    return is_Header_Only_Type(get_Packet_Type(packet)) ? packet_ping_header_length
                                                        : packet_header_length;
}

void deinit_Packet_Data(Packet* packet) {
    delete[] packet->data;
    packet->data = nullptr;
}

// The record holds no data: its length is the header length of its type.
void set_Header_Only(Packet* packet) {
    deinit_Packet_Data(packet);
    packet->packet_length = get_Type_Header_Length(*packet);
}

// Copies the first `header_length` header bytes of `source` over those of
// `packet`, field by field in wire order (the record owns a buffer, so it is
// not copied as raw memory).
void copy_Header(Packet* packet, const Packet& source, uint8_t header_length) {
    if (header_length > 0)
        packet->packet_length = source.packet_length;
    if (header_length > 1)
        packet->packet_control1 = source.packet_control1;
    if (header_length > 2)
        packet->packet_control2 = source.packet_control2;
    if (header_length > 3)
        packet->address = source.address;
    if (header_length > 4)
        packet->subaddress = source.subaddress;
}

const char* const packet_type_names[] = {"ERROR",         "PING",  "PING_RESPONSE", "READ",
                                         "READ_RESPONSE", "WRITE", "WRITE_RESPONSE"};
const char* const data_type_names[] = {"UINT8",  "INT8",  "UINT16", "INT16",  "UINT32", "INT32",
                                       "UINT64", "INT64", "FLOAT",  "DOUBLE", "STRING"};
const char* const address_names[] = {
    "DESCRIPTION", "HOTSWAP", "POWER",   "PSU",     "FAN",     "STATUS",
    "BRIDGE1",     "BRIDGE2", "BRIDGE3", "BRIDGE4", "BRIDGE5", "BRIDGE6",
    "BRIDGE7",     "BRIDGE8", "NETWORK", "BOOT",    "DISPLAY", "USER_MANAGEMENT"};
const char* const description_subaddress_names[] = {
    "SUBADDRESS_DESCRIPTION_PROCUCT_NAME",
    "SUBADDRESS_DESCRIPTION_VERSION",
    "SUBADDRESS_DESCRIPTION_IP_ADDRESS",
    "SUBADDRESS_DESCRIPTION_SERIAL_NUMBER",
    "SUBADDRESS_DESCRIPTION_MANAGER_EMAIL_ADDRESS",
    "SUBADDRESS_DESCRIPTION_OS",
    "SUBADDRESS_DESCRIPTION_INFORMATION",
    "SUBADDRESS_DESCRIPTION_LOCATION",
    "SUBADDRESS_DESCRIPTION_MEMO",
    "SUBADDRESS_DESCRIPTION_DISK_COUNT",
    "SUBADDRESS_DESCRIPTION_DISK_NAME",
    "SUBADDRESS_DESCRIPTION_DISK_SIZE",
    "SUBADDRESS_DESCRIPTION_CPU_COUNT",
    "SUBADDRESS_DESCRIPTION_CPU_MENUFACTURER_NAME",
    "SUBADDRESS_DESCRIPTION_CPU_PRUDCUT_NAME",
    "SUBADDRESS_DESCRIPTION_CPU_SERIAL_NUMBER",
    "SUBADDRESS_DESCRIPTION_CPU_SPEED",
    "SUBADDRESS_DESCRIPTION_CPU_CORE_COUNT",
    "SUBADDRESS_DESCRIPTION_MEMORY_COUNT",
    "SUBADDRESS_DESCRIPTION_MEMORY_SIZE",
    "SUBADDRESS_DESCRIPTION_MEMORY_SLOT",
    "SUBADDRESS_DESCRIPTION_MEMORY_TYPE",
    "SUBADDRESS_DESCRIPTION_MEMORY_MENUFACTURER",
    "SUBADDRESS_DESCRIPTION_MEMORY_SPEED",
    "SUBADDRESS_DESCRIPTION_MEMORY_SERIAL_NUMBER",
    "SUBADDRESS_DESCRIPTION_MEMORY_PART_NUMBER",
    "SUBADDRESS_DESCRIPTION_HARDWARE_VERSION",
};
const char* const status_subaddress_names[] = {
    "SUBADDRESS_STATUS_TEMPERATURE_ONBOARD", "SUBADDRESS_STATUS_TEMPERATURE_EXTRA",
    "SUBADDRESS_STATUS_TEMPERATURE_BMC",     "SUBADDRESS_STATUS_TEMPERATURE_RACK",
    "SUBADDRESS_STATUS_TEMPERATURE_UNIT_F",  "SUBADDRESS_STATUS_HUMIDITY_RACK",
    "SUBADDRESS_STATUS_LED_ALARM",           "SUBADDRESS_STATUS_TEMPERATURE_ALARM",
    "SUBADDRESS_STATUS_CPU_USAGE",           "SUBADDRESS_STATUS_RAM_USAGE",
    "SUBADDRESS_STATUS_DISK_USAGE",
};
const char* const network_subaddress_names[] = {
    "SUBADDRESS_NETWORK_CONFIG_MODE",       "SUBADDRESS_NETWORK_CONFIG_IP_ADDRESS",
    "SUBADDRESS_NETWORK_CONFIG_GATEWAY",    "SUBADDRESS_NETWORK_CONFIG_SUBNETMASK",
    "SUBADDRESS_NETWORK_CONFIG_DNS1",       "SUBADDRESS_NETWORK_CONFIG_DNS2",
    "SUBADDRESS_NETWORK_CONFIG_APPLY",      "SUBADDRESS_NETWORK_CONFIG_HOSTNAME",
    "SUBADDRESS_NETWORK_CONFIG_MACADDRESS", "SUBADDRESS_NETWORK_CONFIG_RESET",
};

template <size_t N>
const char* get_Name(const char* const (&names)[N], unsigned int code) {
    return code < N ? names[code] : nullptr;
}

} // namespace

uint8_t init_Packet(Packet* packet, NODE_ID node_id, bool broadcast, PACKET_TYPE type,
                    bool response_require, ADDRESS address, uint8_t subaddress, DATA_TYPE data_type,
                    const void* data, uint8_t data_count) {
    if (packet == nullptr)
        return 1;
    packet->packet_control1 = broadcast ? (node_id | PACKET_BROADCAST_FLAG) : node_id;
    set_Packet_Type(packet, type, response_require);
    packet->address = address;
    packet->subaddress = subaddress;
    set_Packet_Data(packet, data_type, data, data_count);
    return 0;
}

uint8_t init_Packet(Packet* packet, uint8_t packet_length) {
    if (packet == nullptr)
        return 1;
    packet->packet_length = packet_length;
    packet->packet_control1 = 0;
    packet->packet_control2 = 0;
    packet->address = DESCRIPTION;
    packet->subaddress = 0;
    deinit_Packet_Data(packet);
    if (packet_length > packet_header_length)
        packet->data = new uint8_t[packet_length - packet_header_length];
    return 0;
}

uint8_t init_Packet(Packet* packet, const Packet& source_packet) {
    if (packet == nullptr)
        return 1;
    if (packet == &source_packet)
        return 0;
    init_Packet(packet, source_packet.packet_length);
    copy_Header(packet, source_packet, get_Packet_Header_Length(source_packet));
    uint8_t data_length = get_Packet_Data_Length(source_packet);
    if (data_length > 0 && source_packet.data != nullptr)
        memcpy(packet->data, source_packet.data, data_length);
    else if (data_length > 0)
        memset(packet->data, 0, data_length);
    return 0;
}

uint8_t init_Packet_From_Wire(Packet* packet, const uint8_t* wire, size_t wire_length) {
    if (packet == nullptr)
        return 1;
    uint8_t bytes[packet_header_length + max_packet_data_length] = {};
    if (wire_length > 0)
        memcpy(bytes, wire, wire_length < sizeof(bytes) ? wire_length : sizeof(bytes));
    uint8_t length = wire_length > 0 ? bytes[0] : 0;
    init_Packet(packet, length);
    packet->packet_control1 = bytes[1];
    packet->packet_control2 = bytes[2];
    packet->address = static_cast<ADDRESS>(bytes[3]);
    packet->subaddress = bytes[4];
    // A header of fewer than five bytes ends before the fields it lacks.
    if (length < 5)
        packet->subaddress = 0;
    if (length < 4)
        packet->address = DESCRIPTION;
    if (length < 3)
        packet->packet_control2 = 0;
    if (length < 2)
        packet->packet_control1 = 0;
    if (length > packet_header_length)
        memcpy(packet->data, bytes + packet_header_length, length - packet_header_length);
    return 0;
}

uint8_t init_Packet_Data(Packet* packet, uint8_t data_length) {
    if (packet == nullptr)
        return 1;
    deinit_Packet_Data(packet);
    if (data_length == 0 || data_length > max_packet_data_length) {
        packet->packet_length = get_Type_Header_Length(*packet);
        return 2;
    }
    packet->data = new uint8_t[data_length];
    packet->packet_length = data_length + packet_header_length;
    return 0;
}

void set_Packet_Node_ID_Broadcast(Packet* packet, NODE_ID node_id, bool broadcast) {
    packet->packet_control1 = broadcast ? (node_id | PACKET_BROADCAST_FLAG) : node_id;
}

void set_Packet_Address(Packet* packet, ADDRESS address) {
    packet->address = address;
}

void set_Packet_Subaddress(Packet* packet, uint8_t subaddress) {
    packet->subaddress = subaddress;
}

void set_Packet_Type(Packet* packet, PACKET_TYPE type, bool response_require) {
    packet->packet_control2 = type | (packet->packet_control2 & PACKET_DATA_TYPE_MASK) |
                              (response_require ? PACKET_RESPONSE_REQUIRE_FLAG : 0);
    set_Packet_Data_Clear(packet);
}

uint8_t set_Packet_Data(Packet* packet, DATA_TYPE type, const void* data, uint8_t data_count) {
    if (is_Header_Only_Type(get_Packet_Type(*packet)))
        return 1;
    if (type > STRING) {
        set_Header_Only(packet);
        return 2;
    }

    unsigned int data_length = static_cast<unsigned int>(get_Data_Type_Size(type)) * data_count;
    if (type == STRING && data_length == 0 && data != nullptr)
        data_length = 1; // the NUL of an empty text
    if (data_length == 0 || data_length > max_packet_data_length || data == nullptr) {
        set_Header_Only(packet);
        return 2;
    }

    deinit_Packet_Data(packet);
    packet->data = new uint8_t[data_length];
    packet->packet_length = static_cast<uint8_t>(data_length + packet_header_length);
    packet->packet_control2 = (packet->packet_control2 & ~PACKET_DATA_TYPE_MASK & 0xFF) |
                              ((type << 3) & PACKET_DATA_TYPE_MASK);
    memcpy(packet->data, data, data_length);
    return 0;
}

uint8_t set_Packet_String(Packet* packet, const char* str) {
    // strnlen keeps an unterminated or over-long text from being walked
    // past the longest data part; anything longer is refused below.
    size_t length = strnlen(str, max_packet_data_length + 1);
    if (length > max_packet_data_length) {
        if (is_Header_Only_Type(get_Packet_Type(*packet)))
            return 1;
        set_Header_Only(packet);
        return 2;
    }
    return set_Packet_Data(packet, STRING, str, static_cast<uint8_t>(length));
}

void set_Packet_Data_Clear(Packet* packet) {
    set_Header_Only(packet);
}

uint8_t get_Packet_Header_Length(const Packet& packet) {
    return packet.packet_length <= packet_header_length ? packet.packet_length
                                                        : packet_header_length;
}

uint8_t get_Packet_Data_Length(const Packet& packet) {
    return packet.packet_length > packet_header_length ? packet.packet_length - packet_header_length
                                                       : 0;
}

uint8_t get_Packet_Data_Count(const Packet& packet) {
    if (packet.packet_length <= packet_header_length)
        return 0;
    uint8_t size = get_Data_Type_Size(get_Packet_Data_Type(packet));
    uint8_t data_length = get_Packet_Data_Length(packet);
    if (size == 0 || data_length % size != 0)
        return 0;
    return data_length / size;
}

NODE_ID get_Packet_Node_ID(const Packet& packet) {
    return static_cast<NODE_ID>(packet.packet_control1 & PACKET_NODE_ID_MASK);
}

bool get_Packet_Broadcast(const Packet& packet) {
    return (packet.packet_control1 & PACKET_BROADCAST_FLAG) != 0;
}

ADDRESS get_Packet_Address(const Packet& packet) {
    return packet.address;
}

uint8_t get_Packet_Subaddress(const Packet& packet) {
    return packet.subaddress;
}

PACKET_TYPE get_Packet_Type(const Packet& packet) {
    return static_cast<PACKET_TYPE>(packet.packet_control2 & PACKET_TYPE_MASK);
}

DATA_TYPE get_Packet_Data_Type(const Packet& packet) {
    return static_cast<DATA_TYPE>((packet.packet_control2 & PACKET_DATA_TYPE_MASK) >> 3);
}

bool get_Packet_Response_Require_Flag(const Packet& packet) {
    return (packet.packet_control2 & PACKET_RESPONSE_REQUIRE_FLAG) != 0;
}

uint8_t get_Data_Type_Size(DATA_TYPE type) {
    static const uint8_t sizes[] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 1};
    return type <= STRING ? sizes[type] : 0;
}

const char* get_Packet_Type_Name(uint8_t type) {
    return get_Name(packet_type_names, type);
}

const char* get_Data_Type_Name(uint8_t type) {
    return get_Name(data_type_names, type);
}

const char* get_Address_Name(uint8_t address) {
    return get_Name(address_names, address);
}

const char* get_Subaddress_Name(uint8_t address, uint8_t subaddress) {
    switch (address) {
    case DESCRIPTION:
        return get_Name(description_subaddress_names, subaddress);
    case STATUS:
        return get_Name(status_subaddress_names, subaddress);
    case NETWORK:
        return get_Name(network_subaddress_names, subaddress);
    default:
        return nullptr;
    }
}

} // namespace BMC
