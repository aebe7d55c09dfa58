#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "links/UniqueFd.h"

namespace kelvo::testing {

// A host on a private link of its own: a network namespace joined to this one by a veth pair on a
// /29 of 10.213.0.0/16 chosen per process. The far end has the fixed MAC kFarMac. Needs root and
// iproute2; everything is removed again when the object dies.
class NetnsHost {
  public:
    static constexpr const char* kFarMac = "00:0a:0b:0c:0d:0e";

    // nullptr when this machine cannot have one (not root, no `ip`, no namespaces); *whyNot
    // then says why, for the test's skip message.
    static std::unique_ptr<NetnsHost> Create(std::string* whyNot);
    ~NetnsHost();
    NetnsHost(const NetnsHost&) = delete;
    NetnsHost& operator=(const NetnsHost&) = delete;

    const std::string& namespaceName() const { return ns_; }
    const std::string& nearAddress() const { return near_; }  // this side of the link
    const std::string& farAddress() const { return far_; }    // the host in the namespace
    // On the link, but nobody answers for it.
    const std::string& silentAddress() const { return silent_; }

    // A TCP socket listening on farAddress():port inside the namespace; throws std::runtime_error.
    kelvo::UniqueFd listenInside(uint16_t port) const;
    // Runs `f` on a thread joined to the namespace, so that the sockets it makes are the far
    // host's; returns once it has. Throws std::runtime_error when the thread cannot join.
    void runInside(const std::function<void()>& f) const;

  private:
    NetnsHost() = default;
    bool setUp(std::string* whyNot);
    void tearDown() noexcept;

    std::string ns_, nearIf_, farIf_, near_, far_, silent_;
    bool nsMade_ = false, linkMade_ = false;
};

// Runs iproute2's `ip` with these arguments (no shell); returns its exit status and, on failure,
// its error output in *errorText.
int RunIp(const std::initializer_list<std::string>& args, std::string* errorText = nullptr);

}  // namespace kelvo::testing
