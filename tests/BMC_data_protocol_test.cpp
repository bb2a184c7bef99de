#include "BMC_data_protocol.h"

#include "support/wire_examples.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

using namespace BMC;

namespace {

std::vector<uint8_t> wire_Bytes(const Packet& packet) {
    const uint8_t header[] = {packet.packet_length, packet.packet_control1, packet.packet_control2,
                              packet.address, packet.subaddress};
    std::vector<uint8_t> bytes(packet.packet_length);
    memcpy(bytes.data(), header, get_Packet_Header_Length(packet));
    if (get_Packet_Data_Length(packet) > 0)
        memcpy(bytes.data() + get_Packet_Header_Length(packet), packet.data,
               get_Packet_Data_Length(packet));
    return bytes;
}

// The packed record's pointer, by value: a reference to it would be
// misaligned.
const uint8_t* data_Of(const Packet& packet) {
    return packet.data;
}

} // namespace

// The card's packet code makes every buildable packet of the shared wire
// table from its fields.
TEST(BMCPacket, WireExamples) {
    for (const Wire_Example& example : wire_Examples()) {
        if (!example.buildable)
            continue;
        SCOPED_TRACE(example.description);
        const Wire_Fields& f = example.fields;
        const DATA_TYPE type = static_cast<DATA_TYPE>(f.data_type);
        const size_t count = example.data.size() / get_Data_Type_Size(type);
        Packet packet;
        EXPECT_EQ(init_Packet(&packet, static_cast<NODE_ID>(f.node), f.broadcast,
                              static_cast<PACKET_TYPE>(f.type), f.response,
                              static_cast<ADDRESS>(f.address), f.sub, type,
                              example.data.empty() ? nullptr : example.data.data(),
                              static_cast<uint8_t>(count)),
                  0);
        EXPECT_EQ(wire_Bytes(packet), wire_Bytes(example)) << example.wire;
        EXPECT_EQ(get_Packet_Data_Count(packet), count);
    }

    // ... and reads every example, cut or whole, back into its fields; what
    // a cut packet lacks reads as 0.
    for (const Wire_Example& example : wire_Examples()) {
        SCOPED_TRACE(example.description);
        const std::vector<uint8_t> bytes = wire_Bytes(example);
        Packet packet;
        ASSERT_EQ(init_Packet_From_Wire(&packet, bytes.data(), bytes.size()), 0);
        const Wire_Fields& f = example.fields;
        EXPECT_EQ(get_Packet_Node_ID(packet), f.node);
        EXPECT_EQ(get_Packet_Broadcast(packet), f.broadcast);
        EXPECT_EQ(get_Packet_Type(packet), f.type);
        EXPECT_EQ(get_Packet_Response_Require_Flag(packet), f.response);
        EXPECT_EQ(get_Packet_Address(packet), packet.packet_length > 3 ? f.address : 0);
        EXPECT_EQ(get_Packet_Subaddress(packet), packet.packet_length > 4 ? f.sub : 0);
        std::vector<uint8_t> data = example.data;
        data.resize(get_Packet_Data_Length(packet), 0);
        EXPECT_EQ(std::vector<uint8_t>(packet.data, packet.data + data.size()), data);
    }
    Packet packet;
    EXPECT_EQ(init_Packet_From_Wire(nullptr, nullptr, 0), 1);
    EXPECT_EQ(init_Packet_From_Wire(&packet, nullptr, 0), 0);
    EXPECT_EQ(packet.packet_length, 0);

    // A ping has no data part: data is refused and the length stays 3.
    Packet ping;
    init_Packet(&ping, BMC::BMC, false, PING, false, DESCRIPTION, 0, UINT8, nullptr, 0);
    const uint8_t byte = 1;
    EXPECT_EQ(set_Packet_Data(&ping, UINT8, &byte, 1), 1);
    EXPECT_EQ(ping.packet_length, 3);
}

TEST(BMCPacket, InitPacketNullAndHeaderOnlyResults) {
    EXPECT_EQ(
        init_Packet(nullptr, BMC::BMC, false, WRITE, false, DESCRIPTION, 0, UINT8, nullptr, 0), 1);
    EXPECT_EQ(init_Packet(nullptr, 10), 1);
    Packet source;
    EXPECT_EQ(init_Packet(nullptr, source), 1);
    EXPECT_EQ(init_Packet_Data(nullptr, 4), 1);

    // A data count of 0 leaves the bare five-byte header.
    Packet packet;
    init_Packet(&packet, PEC_3, true, WRITE, true, NETWORK, 6, UINT32, nullptr, 0);
    EXPECT_EQ(packet.packet_length, 5);
    EXPECT_EQ(data_Of(packet), nullptr);
    EXPECT_EQ(packet.packet_control1, 0x83);
    EXPECT_EQ(packet.packet_control2, 0x85);
}

struct Length_Case {
    DATA_TYPE type;
    unsigned int count;
    uint8_t result;
    uint8_t packet_length;
};

TEST(BMCPacket, DataLengthBoundsPerType) {
    const Length_Case cases[] = {
        {UINT8, 250, 0, 255},
        {UINT8, 251, 2, 5},
        {INT8, 1, 0, 6},
        {UINT16, 125, 0, 255},
        {UINT16, 126, 2, 5},
        {INT16, 3, 0, 11},
        {UINT32, 62, 0, 253},
        {INT32, 63, 2, 5},
        {UINT64, 31, 0, 253},
        {UINT64, 32, 2, 5},
        {INT64, 0, 2, 5},
        {FLOAT, 62, 0, 253},
        {DOUBLE, 31, 0, 253},
        {STRING, 0, 0, 6},
        {STRING, 250, 0, 255},
        {UINT8, 0, 2, 5},
        {static_cast<DATA_TYPE>(11), 1, 2, 5},
    };
    std::vector<uint8_t> data(300, 0xAB);
    for (const Length_Case& c : cases) {
        Packet packet;
        init_Packet(&packet, BMC::BMC, false, WRITE, false, DESCRIPTION, 0, UINT8, data.data(), 4);
        SCOPED_TRACE(testing::Message() << "type " << int(c.type) << " count " << c.count);
        EXPECT_EQ(set_Packet_Data(&packet, c.type, data.data(), static_cast<uint8_t>(c.count)),
                  c.result);
        EXPECT_EQ(packet.packet_length, c.packet_length);
        EXPECT_EQ(packet.data == nullptr, c.result != 0);
        if (c.result == 0) {
            EXPECT_EQ(get_Packet_Data_Type(packet), c.type);
        }
    }
}

TEST(BMCPacket, StringData) {
    Packet packet;
    init_Packet(&packet, BMC::BMC, false, WRITE, false, DESCRIPTION, 0, UINT8, nullptr, 0);
    EXPECT_EQ(set_Packet_String(&packet, ""), 0);
    EXPECT_EQ(packet.packet_length, 6);
    EXPECT_EQ(packet.data[0], 0);

    EXPECT_EQ(set_Packet_String(&packet, "eth0"), 0);
    EXPECT_EQ(packet.packet_length, 9);
    EXPECT_EQ(memcmp(packet.data, "eth0", 4), 0);

    std::string longest(250, 'x');
    EXPECT_EQ(set_Packet_String(&packet, longest.c_str()), 0);
    EXPECT_EQ(packet.packet_length, 255);
    std::string too_long(251, 'x');
    EXPECT_EQ(set_Packet_String(&packet, too_long.c_str()), 2);
    EXPECT_EQ(packet.packet_length, 5);
    EXPECT_EQ(data_Of(packet), nullptr);

    Packet ping;
    init_Packet(&ping, BMC::BMC, false, PING, false, DESCRIPTION, 0, UINT8, nullptr, 0);
    EXPECT_EQ(set_Packet_String(&ping, "x"), 1);
    EXPECT_EQ(set_Packet_String(&ping, too_long.c_str()), 1);
    EXPECT_EQ(ping.packet_length, 3);
}

TEST(BMCPacket, SetTypeKeepsDataTypeBitsAndClearsData) {
    Packet packet;
    const uint16_t values[2] = {1, 2};
    init_Packet(&packet, BMC::BMC, false, WRITE, false, STATUS, 1, UINT16, values, 2);
    ASSERT_EQ(packet.packet_length, 9);
    set_Packet_Type(&packet, READ, true);
    EXPECT_EQ(get_Packet_Data_Type(packet), UINT16);
    EXPECT_EQ(get_Packet_Type(packet), READ);
    EXPECT_TRUE(get_Packet_Response_Require_Flag(packet));
    EXPECT_EQ(packet.packet_length, 5);
    EXPECT_EQ(data_Of(packet), nullptr);

    set_Packet_Type(&packet, PING_RESPONSE, false);
    EXPECT_EQ(packet.packet_length, 3);
    EXPECT_EQ(get_Packet_Data_Type(packet), UINT16);
    EXPECT_FALSE(get_Packet_Response_Require_Flag(packet));
}

TEST(BMCPacket, HeaderAndDataLengthRulesOnRawRecords) {
    struct Case {
        uint8_t length, header, data;
    };
    const Case cases[] = {{0, 0, 0}, {3, 3, 0}, {5, 5, 0}, {6, 5, 1}, {200, 5, 195}, {255, 5, 250}};
    for (const Case& c : cases) {
        Packet packet;
        packet.packet_length = c.length;
        EXPECT_EQ(get_Packet_Header_Length(packet), c.header) << int(c.length);
        EXPECT_EQ(get_Packet_Data_Length(packet), c.data) << int(c.length);
    }

    Packet odd;
    init_Packet(&odd, 12);
    odd.packet_control2 = UINT16 << 3;
    EXPECT_EQ(get_Packet_Data_Count(odd), 0); // 7 bytes of UINT16
    odd.packet_control2 = 12 << 3;
    EXPECT_EQ(get_Packet_Data_Count(odd), 0); // no such type
    odd.packet_control2 = STRING << 3;
    EXPECT_EQ(get_Packet_Data_Count(odd), 7);

    Packet control;
    control.packet_control1 = 0x85;
    EXPECT_TRUE(get_Packet_Broadcast(control));
    EXPECT_EQ(get_Packet_Node_ID(control), PEC_5);
    set_Packet_Node_ID_Broadcast(&control, PEC_32, false);
    EXPECT_EQ(control.packet_control1, 32);
    set_Packet_Address(&control, NETWORK);
    set_Packet_Subaddress(&control, SUBADDRESS_NETWORK_CONFIG_APPLY);
    EXPECT_EQ(get_Packet_Address(control), NETWORK);
    EXPECT_EQ(get_Packet_Subaddress(control), 6);
}

TEST(BMCPacket, DeepCopyAndBufferReplacement) {
    Packet source;
    const char text[] = "192.0.2.20";
    init_Packet(&source, PEC_7, true, WRITE, true, NETWORK, SUBADDRESS_NETWORK_CONFIG_IP_ADDRESS,
                STRING, text, sizeof(text));

    Packet copy;
    const uint8_t old[3] = {9, 9, 9};
    init_Packet(&copy, BMC::BMC, false, WRITE, false, STATUS, 0, UINT8, old, 3);
    ASSERT_EQ(init_Packet(&copy, source), 0);
    EXPECT_EQ(wire_Bytes(copy), wire_Bytes(source));
    EXPECT_NE(data_Of(copy), data_Of(source));

    // The copy is independent of its source.
    source.data[0] = 'X';
    EXPECT_EQ(copy.data[0], '1');

    // Copying a record onto itself keeps it whole.
    init_Packet(&copy, copy);
    EXPECT_EQ(copy.packet_length, 5 + sizeof(text));
    EXPECT_EQ(memcmp(copy.data, text, sizeof(text)), 0);

    Packet ping;
    init_Packet(&ping, PEC_2, false, PING, false, DESCRIPTION, 0, UINT8, nullptr, 0);
    init_Packet(&copy, ping);
    EXPECT_EQ(wire_Bytes(copy), wire_Bytes(wire_Example("ping from node 2")));
    EXPECT_EQ(data_Of(copy), nullptr);

    Packet reset;
    EXPECT_EQ(init_Packet(&reset, 9), 0);
    EXPECT_NE(data_Of(reset), nullptr);
    EXPECT_EQ(init_Packet_Data(&reset, 0), 2);
    EXPECT_EQ(data_Of(reset), nullptr);
    EXPECT_EQ(reset.packet_length, 5);
    EXPECT_EQ(init_Packet_Data(&reset, 251), 2);
    EXPECT_EQ(init_Packet_Data(&reset, 250), 0);
    EXPECT_EQ(reset.packet_length, 255);
}

TEST(BMCPacket, DataTypeSizes) {
    const uint8_t expected[16] = {1, 1, 2, 2, 4, 4, 8, 8, 4, 8, 1, 0, 0, 0, 0, 0};
    for (int code = 0; code < 16; ++code)
        EXPECT_EQ(get_Data_Type_Size(static_cast<DATA_TYPE>(code)), expected[code]) << code;
}
