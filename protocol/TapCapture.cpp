#include "protocol/TapCapture.h"

#include <algorithm>
#include <cstring>

namespace kelvo {

namespace {

constexpr uint32_t kSectionBlock = 0x0A0D0D0A, kInterfaceBlock = 1, kPacketBlock = 6;
constexpr uint32_t kByteOrder = 0x1A2B3C4D;
constexpr uint16_t kRawIp = 101;  // LINKTYPE_RAW
constexpr uint32_t kPos = 0x0A000001, kPrinter = 0x0A000002;
constexpr uint16_t kPrinterPort = 9100, kPosPorts = 40000;
constexpr size_t kSegmentBytes = 60000;  // within an IPv4 packet's length
constexpr uint8_t kSyn = 0x02, kSynAck = 0x12, kPshAck = 0x18, kFinAck = 0x11, kRst = 0x04;

void U16(std::string& s, uint16_t v) {
    s.append(reinterpret_cast<const char*>(&v), 2);
}
void U32(std::string& s, uint32_t v) {
    s.append(reinterpret_cast<const char*>(&v), 4);
}
void Be16(std::string& s, uint16_t v) {
    s += static_cast<char>(v >> 8);
    s += static_cast<char>(v & 0xFF);
}
void Be32(std::string& s, uint32_t v) {
    Be16(s, static_cast<uint16_t>(v >> 16));
    Be16(s, static_cast<uint16_t>(v));
}

std::string Block(uint32_t type, std::string body) {
    body.resize((body.size() + 3) / 4 * 4, '\0');
    const auto length = static_cast<uint32_t>(body.size() + 12);
    std::string block;
    U32(block, type);
    U32(block, length);
    block += body;
    U32(block, length);
    return block;
}

uint32_t Le32(std::string_view s, size_t at) {
    uint32_t v = 0;
    std::memcpy(&v, s.data() + at, 4);
    return v;
}
uint16_t Le16(std::string_view s, size_t at) {
    uint16_t v = 0;
    std::memcpy(&v, s.data() + at, 2);
    return v;
}
uint32_t Big(std::string_view s, size_t at, int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; ++i)
        v = (v << 8) | static_cast<uint8_t>(s[at + static_cast<size_t>(i)]);
    return v;
}

}  // namespace

std::string TapCaptureWriter::Start() {
    std::string section;
    U32(section, kByteOrder);
    U16(section, 1);
    U16(section, 0);
    U32(section, 0xFFFFFFFF);  // section length unknown
    U32(section, 0xFFFFFFFF);
    std::string interface;
    U16(interface, kRawIp);
    U16(interface, 0);
    U32(interface, 0);  // no snapshot limit; times in microseconds, the default
    return Block(kSectionBlock, section) + Block(kInterfaceBlock, interface);
}

std::string TapCaptureWriter::Event(uint64_t session, Time at, Packet kind, bool fromPos,
                                    std::string_view bytes) {
    std::string out;
    switch (kind) {
        case Packet::Open: {
            out += Segment(session, at, true, kSyn, {});
            out += Segment(session, at, false, kSynAck, {});
            Stream& s = streams_[session];
            ++s.seq[0];
            ++s.seq[1];
            break;
        }
        case Packet::Data:
            for (size_t from = 0; from < bytes.size(); from += kSegmentBytes)
                out += Segment(session, at, fromPos, kPshAck, bytes.substr(from, kSegmentBytes));
            break;
        case Packet::Close:
            out += Segment(session, at, fromPos, kFinAck, {});
            ++streams_[session].seq[fromPos ? 0 : 1];
            break;
        case Packet::Reset:
            out += Segment(session, at, fromPos, kRst, {});
            streams_.erase(session);
            break;
    }
    return out;
}

std::string TapCaptureWriter::Segment(uint64_t session, Time at, bool fromPos, uint8_t flags,
                                      std::string_view payload) {
    Stream& s = streams_[session];
    const auto posPort = static_cast<uint16_t>(kPosPorts + session % 20000);
    std::string ip;
    ip += static_cast<char>(0x45);
    ip += '\0';
    Be16(ip, static_cast<uint16_t>(40 + payload.size()));
    Be16(ip, 0);
    Be16(ip, 0x4000);  // don't fragment
    ip += static_cast<char>(64);
    ip += static_cast<char>(6);  // TCP
    Be16(ip, 0);
    Be32(ip, fromPos ? kPos : kPrinter);
    Be32(ip, fromPos ? kPrinter : kPos);
    uint32_t sum = 0;
    for (size_t i = 0; i < 20; i += 2)
        sum += Big(ip, i, 2);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    ip[10] = static_cast<char>((~sum >> 8) & 0xFF);
    ip[11] = static_cast<char>(~sum & 0xFF);
    Be16(ip, fromPos ? posPort : kPrinterPort);
    Be16(ip, fromPos ? kPrinterPort : posPort);
    uint32_t& seq = s.seq[fromPos ? 0 : 1];
    const uint32_t ack = s.seq[fromPos ? 1 : 0] + (flags == kSynAck ? 1 : 0);
    Be32(ip, seq);
    Be32(ip, flags == kSyn ? 0 : ack);
    ip += static_cast<char>(0x50);  // 20-byte header
    ip += static_cast<char>(flags);
    Be16(ip, 65535);
    Be16(ip, 0);  // checksum left out: Wireshark does not check it by default
    Be16(ip, 0);
    ip += payload;
    seq += static_cast<uint32_t>(payload.size());
    const auto micros = static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(at.time_since_epoch()).count());
    std::string body;
    U32(body, 0);
    U32(body, static_cast<uint32_t>(micros >> 32));
    U32(body, static_cast<uint32_t>(micros));
    U32(body, static_cast<uint32_t>(ip.size()));
    U32(body, static_cast<uint32_t>(ip.size()));
    body += ip;
    return Block(kPacketBlock, body);
}

bool IsPcapng(std::string_view file) {
    return file.size() >= 12 && Le32(file, 0) == kSectionBlock && Le32(file, 8) == kByteOrder;
}

std::optional<std::vector<CapturedBytes>> ReadTapCapture(std::string_view file, std::string* why) {
    auto fail = [&](const char* text) {
        *why = text;
        return std::nullopt;
    };
    if (!IsPcapng(file))
        return fail("not a pcapng capture written on this kind of machine");
    std::vector<CapturedBytes> out;
    bool raw = false;
    for (size_t at = 0; at < file.size();) {
        if (file.size() - at < 12)
            return fail("the capture ends inside a block");
        const uint32_t type = Le32(file, at), length = Le32(file, at + 4);
        if (length < 12 || length % 4 != 0 || length > file.size() - at)
            return fail("a block's length is out of the file");
        const std::string_view body = file.substr(at + 8, length - 12);
        at += length;
        if (type == kInterfaceBlock) {
            raw = body.size() >= 2 && Le16(body, 0) == kRawIp;
            if (!raw)
                return fail("not raw IP packets, as the tap writes them");
            continue;
        }
        if (type != kPacketBlock)
            continue;
        if (!raw || body.size() < 20)
            return fail("a packet before its interface");
        const uint32_t captured = Le32(body, 12);
        if (captured > body.size() - 20)
            return fail("a packet longer than its block");
        const std::string_view ip = body.substr(20, captured);
        if (ip.size() < 20 || (static_cast<uint8_t>(ip[0]) >> 4) != 4 || ip[9] != 6)
            continue;
        const size_t ipHeader = (static_cast<uint8_t>(ip[0]) & 0x0F) * 4u;
        const size_t total = std::min<size_t>(Big(ip, 2, 2), ip.size());
        if (total < ipHeader + 20)
            continue;
        const std::string_view tcp = ip.substr(ipHeader, total - ipHeader);
        const size_t tcpHeader = (static_cast<uint8_t>(tcp[12]) >> 4) * 4u;
        if (tcpHeader < 20 || tcpHeader > tcp.size() || tcp.size() == tcpHeader)
            continue;
        const auto source = static_cast<uint16_t>(Big(tcp, 0, 2));
        const auto target = static_cast<uint16_t>(Big(tcp, 2, 2));
        if (source != kPrinterPort && target != kPrinterPort)
            continue;
        const uint64_t micros = (uint64_t{Le32(body, 4)} << 32) | Le32(body, 8);
        CapturedBytes piece;
        piece.fromPos = target == kPrinterPort;
        const uint16_t posPort = piece.fromPos ? source : target;
        piece.session = posPort >= kPosPorts ? posPort - kPosPorts : posPort;
        piece.at = std::chrono::system_clock::time_point(std::chrono::microseconds(micros));
        piece.bytes = std::string(tcp.substr(tcpHeader));
        out.push_back(std::move(piece));
    }
    return out;
}

}  // namespace kelvo
