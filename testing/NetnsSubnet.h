#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "links/EventFd.h"
#include "links/UniqueFd.h"

namespace kelvo::testing {

// A /24 between two network namespaces of its own, so that a scan of "this machine's subnets"
// sees only what the test built: the scanning side holds .1 on a veth; the LAN side answers for
// the addresses given to it with addHost() and silently drops what goes to every other address
// (it answers their ARP and routes them into a veth whose other end is down), as unused addresses
// of a switched LAN do. Needs root and iproute2; everything is removed when the object dies.
class NetnsSubnet {
  public:
    // The LAN side's veth: every host given to it has this MAC.
    static constexpr const char* kLanMac = "00:0a:0b:0c:0d:1e";

    static std::unique_ptr<NetnsSubnet> Create(std::string* whyNot);
    ~NetnsSubnet();
    NetnsSubnet(const NetnsSubnet&) = delete;
    NetnsSubnet& operator=(const NetnsSubnet&) = delete;

    // "10.214.7." + host
    std::string address(int host) const;
    std::string subnet() const { return prefix_ + "0/24"; }
    const std::string& scanInterface() const { return scanIf_; }

    // Gives the LAN side address(host); throws std::runtime_error.
    void addHost(int host);
    // A TCP socket listening on address(host):port on the LAN side; throws std::runtime_error.
    kelvo::UniqueFd listenInside(int host, uint16_t port, int backlog = 8) const;
    // Moves the calling thread into the scanning side for good (setns acts on the calling thread
    // only): use it on a thread made for the purpose. Throws std::runtime_error.
    void joinScanningSide() const;

  private:
    NetnsSubnet() = default;
    bool setUp(std::string* whyNot);
    void tearDown() noexcept;

    std::string scanNs_, lanNs_, scanIf_, lanIf_, dummyIf_, dummyPeerIf_, prefix_;
    bool scanNsMade_ = false, lanNsMade_ = false;
};

// Joins the calling thread to the named network namespace; throws std::runtime_error.
void JoinNetworkNamespace(const std::string& name);

// Printers on the LAN side: each answers DLE EOT n with its status byte, and GS I 67 with a model
// name when it has one. One thread serves every listener and connection.
class LanPrinters {
  public:
    struct Printer {
        kelvo::UniqueFd listener;  // from NetnsSubnet::listenInside
        uint8_t status;
        std::string model;  // empty: GS I goes unanswered
    };

    explicit LanPrinters(std::vector<Printer> printers);
    ~LanPrinters();
    LanPrinters(const LanPrinters&) = delete;
    LanPrinters& operator=(const LanPrinters&) = delete;

  private:
    void Run();

    std::vector<Printer> printers_;
    kelvo::EventFd stop_;
    std::thread thread_;
};

}  // namespace kelvo::testing
