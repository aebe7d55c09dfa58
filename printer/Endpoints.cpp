#include "printer/Endpoints.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <deque>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

#include "links/EventFd.h"
#include "links/PseudoTerminal.h"
#include "links/SerialLine.h"
#include "links/Transfer.h"
#include "links/UniqueFd.h"
#include "printer/Listen.h"

namespace kelvo::printer {

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kBacklog = 8;
// A client that asks without reading the answers must not grow them without bound: past this
// the endpoint stops reading, as a printer with a full buffer would.
constexpr size_t kAnswerLimit = 64 * 1024;
// Reads in a row without poll while each fills the receive buffer's room: poll (and with it the
// wake-up and the listener) is still asked between such runs.
constexpr int kReadsWithoutPoll = 16;
// Throttled reads come in steps of about this much line time, so a slow rate wakes the thread
// about a hundred times a second rather than once per byte.
constexpr double kReadStepSeconds = 0.01;

[[noreturn]] void ThrowErrno(int error, const char* what) {
    throw std::system_error(error, std::generic_category(), what);
}

// Sends what the peer has room for; false when the peer is gone.
bool Flush(int fd, bool socket, std::string& pending) {
    while (!pending.empty()) {
        const ssize_t n =
            socket ? ::send(fd, pending.data(), pending.size(), MSG_NOSIGNAL | MSG_DONTWAIT)
                   : ::write(fd, pending.data(), pending.size());
        if (n > 0) {
            pending.erase(0, static_cast<size_t>(n));
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else {
            return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
        }
    }
    return true;
}

bool Retry(int error) {
    return error == EINTR || error == EAGAIN || error == EWOULDBLOCK;
}

// The poll time-out for a printer that takes its bytes again by itself after `busy`. Its time
// may have come since it last declined them: then it is offered them again a millisecond on.
int WaitLess(int timeout, const Sink& sink, bool held) {
    if (!held || !sink.busy)
        return timeout;
    const int64_t busy = sink.busy().count();
    if (busy < 0)
        return timeout;  // it waits for Resume (offline)
    const int wait = static_cast<int>(std::clamp<int64_t>(busy, 1, 60000));
    return timeout < 0 ? wait : std::min(timeout, wait);
}

// `bytes` sent 8N1 at `sent` bits a second, one burst on a line idle before and after, as a UART
// set to `read` receives them: each falling edge that is still low half a bit later starts a
// byte, sampled mid-bit; a byte without its stop bit is kept, as a printer's UART hands it on.
std::string AtLineSpeed(std::string_view bytes, long sent, long read) {
    // Time in units of 1 / (2 * sent * read) s: a sent bit is 2 * read long, a read bit 2 * sent.
    const int64_t sentBit = 2 * int64_t{read}, readBit = 2 * int64_t{sent};
    const int64_t bits = 10 * static_cast<int64_t>(bytes.size());
    auto level = [&](int64_t t) {
        const int64_t bit = t / sentBit;
        if (t < 0 || bit >= bits)
            return 1;
        const int64_t k = bit % 10;
        return k == 0 ? 0 : k == 9 ? 1 : (static_cast<uint8_t>(bytes[bit / 10]) >> (k - 1)) & 1;
    };
    std::string out;
    int64_t bit = 0;
    while (bit < bits) {
        const int64_t edge = bit * sentBit;
        if (level(edge) == 1 || level(edge - 1) == 0 || level(edge + readBit / 2) == 1) {
            ++bit;
            continue;
        }
        int byte = 0;
        for (int i = 0; i < 8; ++i)
            byte |= level(edge + readBit * (i + 1) + readBit / 2) << i;
        out += static_cast<char>(byte);
        // The next start is looked for from the stop bit's sample on.
        bit = (edge + readBit * 9 + readBit / 2) / sentBit + 1;
    }
    return out;
}

// Bytes the printer sends by itself, handed over from any thread.
class Outbox {
  public:
    // Dropped when they do not fit: a peer that reads nothing must not grow them.
    void Put(std::string_view bytes) {
        std::lock_guard lock(mu_);
        if (bytes_.size() + bytes.size() <= kAnswerLimit)
            bytes_.append(bytes);
    }
    void TakeInto(std::string& answers) {
        std::lock_guard lock(mu_);
        answers += bytes_;
        bytes_.clear();
    }
    void Clear() {
        std::lock_guard lock(mu_);
        bytes_.clear();
    }

  private:
    std::mutex mu_;
    std::string bytes_;
};

// A client taken off the listener, and what it has said and been answered while it waits.
struct Client {
    UniqueFd fd;
    std::string held;     // the receive buffer, for the printer once the client is served
    std::string cut;      // a real-time request cut by the end of its last bytes, while waiting
    std::string answers;  // not sent yet
    // Real-time answers held back (SetAnswerDelay), each with when it goes out, in order.
    std::deque<std::pair<Clock::time_point, std::string>> late;
    bool ended = false;  // it sent all it will: what it sent is printed, then it ends
    bool gone = false;   // nothing more can be sent to it either

    // Room in its receive buffer, and the answers it has not read are within bounds.
    bool Room() const {
        return !ended && held.size() < kReceiveBuffer && answers.size() < kAnswerLimit;
    }
    // Sends what the client has room for; false (and then gone) when it has gone.
    bool SendAnswers() {
        if (gone)
            answers.clear();
        else if (!answers.empty() && !Flush(fd.get(), true, answers))
            Hangup();
        return !gone;
    }
    void Hangup() {
        gone = ended = true;
        answers.clear();
    }
};

}  // namespace

struct TcpEndpoint::Impl {
    Impl(TcpOptions options, Sink s, TcpEvents e);
    ~Impl() {
        stop = true;
        wake.Signal();
        thread.join();
    }
    void Run();
    // Takes clients off the listener while there is room behind the one served.
    void TakeWaiting();
    // Fewer than kTcpWaitingTaken connected and kTcpWaitingHeld in all wait.
    bool RoomToTake() const;
    // How the connection ended; nullopt when the endpoint stops.
    std::optional<TcpEnd> Serve(Client& client);
    // Reads a waiting client for its real-time requests, and sends it their answers.
    void Hear(Client& client, short got);
    // The real-time answers to the client served, at once, later or never.
    void RealTimeAnswers(Client& client, std::string answers);

    Sink sink;
    TcpEvents events;
    std::atomic<int64_t> idleMs;
    int socketBuffer = 0;
    UniqueFd listener;
    std::string host;
    uint16_t port = 0;
    bool v6 = false;
    std::deque<Client> waiting;  // the thread's own
    mutable std::mutex queueMutex;
    TcpQueue queue;  // backlog unused here
    Outbox outbox;
    std::atomic<size_t> buffered{0};
    std::atomic<bool> resetAsked{false};
    std::atomic<bool> hung{false};  // SetStalled
    std::atomic<int64_t> answerDelayMs{0};
    EventFd wake;  // to stop, or to look at changed settings
    std::atomic<bool> stop{false};
    std::thread thread;
};

bool IsLoopbackHost(const std::string& host) {
    in_addr v4{};
    in6_addr v6{};
    if (::inet_pton(AF_INET, host.c_str(), &v4) == 1)
        return (ntohl(v4.s_addr) >> 24) == 127;
    return ::inet_pton(AF_INET6, host.c_str(), &v6) == 1 && IN6_IS_ADDR_LOOPBACK(&v6);
}

TcpEndpoint::Impl::Impl(TcpOptions options, Sink s, TcpEvents e)
    : sink(std::move(s)),
      events(std::move(e)),
      idleMs(options.idleLimit.count()),
      socketBuffer(options.socketBuffer) {
    TcpListener bound = ListenTcp(options, kBacklog);
    listener = std::move(bound.fd);
    // On the listener too: the window a connection opens with is the listener's.
    if (socketBuffer > 0)
        ::setsockopt(listener.get(), SOL_SOCKET, SO_RCVBUF, &socketBuffer, sizeof socketBuffer);
    host = std::move(bound.host);
    port = bound.port;
    v6 = bound.v6;
    thread = std::thread([this] { Run(); });
}

void TcpEndpoint::Impl::Run() {
    while (!stop) {
        if (waiting.empty()) {
            pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {listener.get(), POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR)
                return;
            if (stop)
                return;
            if ((fds[0].revents & POLLIN) != 0)
                wake.Take();
            TakeWaiting();
            continue;
        }
        Client client = std::move(waiting.front());
        waiting.pop_front();
        std::string peer;
        {
            std::lock_guard lock(queueMutex);
            queue.served = std::move(queue.waiting.front());
            queue.waiting.erase(queue.waiting.begin());
            peer = queue.served->address;
        }
        outbox.Clear();      // not this client's
        resetAsked = false;  // nor this; but a fault at its start is
        if (events.started)
            events.started(peer);
        const std::optional<TcpEnd> end = Serve(client);
        if (end == TcpEnd::Reset) {
            // Closed with nothing to linger for: the kernel sends RST, not FIN.
            const linger now{1, 0};
            ::setsockopt(client.fd.get(), SOL_SOCKET, SO_LINGER, &now, sizeof now);
        }
        client.fd.reset();
        {
            std::lock_guard lock(queueMutex);
            queue.served.reset();
        }
        if (!end)
            return;
        if (events.ended)
            events.ended(*end);
    }
}

bool TcpEndpoint::Impl::RoomToTake() const {
    const auto connected =
        std::count_if(waiting.begin(), waiting.end(), [](const Client& c) { return !c.ended; });
    return static_cast<size_t>(connected) < kTcpWaitingTaken && waiting.size() < kTcpWaitingHeld;
}

void TcpEndpoint::Impl::TakeWaiting() {
    while (RoomToTake()) {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        UniqueFd client(::accept4(listener.get(), reinterpret_cast<sockaddr*>(&peer), &length,
                                  SOCK_CLOEXEC | SOCK_NONBLOCK));
        if (!client)
            return;
        if (socketBuffer > 0)
            ::setsockopt(client.get(), SOL_SOCKET, SO_RCVBUF, &socketBuffer, sizeof socketBuffer);
        waiting.emplace_back().fd = std::move(client);
        std::lock_guard lock(queueMutex);
        queue.waiting.push_back({PeerAddress(peer), std::chrono::system_clock::now()});
    }
}

std::optional<TcpEnd> TcpEndpoint::Impl::Serve(Client& served) {
    const int client = served.fd.get();
    std::string& held = served.held;
    std::string& answers = served.answers;
    bool& ended = served.ended;
    held.reserve(kReceiveBuffer);
    // The scan for real-time requests goes on where the client's bytes left it while it waited.
    if (!served.cut.empty())
        sink.receive(served.cut);
    char buffer[kReceiveBuffer];
    int readOn = 0;  // reads left before poll is asked again
    auto heard = Clock::now();
    std::vector<pollfd> fds;
    while (!stop) {
        outbox.TakeInto(answers);
        const auto now = Clock::now();
        while (!served.late.empty() && served.late.front().first <= now) {
            answers += served.late.front().second;
            served.late.pop_front();
        }
        // The printer takes none of what it holds: offline. The clients behind are heard meanwhile.
        bool stalled = false;
        if (!held.empty()) {
            const size_t taken = sink.print(held, answers);
            held.erase(0, taken);
            stalled = taken == 0;
            buffered = held.size();
        }
        if (resetAsked.exchange(false)) {
            buffered = 0;
            return TcpEnd::Reset;
        }
        served.SendAnswers();
        if (ended && held.empty() && served.late.empty())
            return TcpEnd::Closed;
        const bool stall = hung;
        const bool room = served.Room() && !stall;
        // The idle limit is for a client that keeps the printer waiting, not for one the printer
        // keeps waiting.
        if (!held.empty())
            heard = Clock::now();
        int timeout = -1;
        if (stall)
            heard = Clock::now();  // a hung printer closes nobody
        if (const std::chrono::milliseconds limit{idleMs.load()};
            limit.count() > 0 && held.empty()) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(heard + limit - Clock::now());
            if (left.count() <= 0)
                return TcpEnd::Idle;
            timeout = static_cast<int>(std::min<int64_t>(left.count(), 60000));
        }
        if (!served.late.empty()) {
            const auto due = std::chrono::ceil<std::chrono::milliseconds>(
                served.late.front().first - Clock::now());
            const int ms = static_cast<int>(std::clamp<int64_t>(due.count(), 0, 60000));
            timeout = timeout < 0 ? ms : std::min(timeout, ms);
        }
        timeout = WaitLess(timeout, sink, !held.empty());
        const bool hearWaiting = stalled && sink.waiting && !stall;
        short got = POLLIN;
        if (!room || answers.size() > 0 || readOn == 0 || hearWaiting || !served.late.empty()) {
            const short wanted = (room ? POLLIN : 0) | (answers.empty() ? 0 : POLLOUT);
            fds.assign({{wake.fd(), POLLIN, 0},
                        {served.gone ? -1 : client, wanted, 0},
                        {RoomToTake() ? listener.get() : -1, POLLIN, 0}});
            for (const Client& w : waiting) {
                const short events = !hearWaiting || w.gone ? 0
                                                            : (w.Room() ? POLLIN : 0) |
                                                                  (w.answers.empty() ? 0 : POLLOUT);
                fds.push_back({events != 0 ? w.fd.get() : -1, events, 0});
            }
            if (::poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR)
                return TcpEnd::Closed;
            if (stop)
                break;
            if ((fds[0].revents & POLLIN) != 0)
                wake.Take();  // a new idle limit, bytes to send, or a printer that takes bytes
            for (size_t i = 3; i < fds.size(); ++i)
                Hear(waiting[i - 3], fds[i].revents);
            if ((fds[2].revents & POLLIN) != 0)
                TakeWaiting();
            got = fds[1].revents;
            readOn = 0;
        } else {
            --readOn;
        }
        if ((got & POLLOUT) != 0 && !served.SendAnswers())
            continue;
        if ((got & (POLLIN | POLLHUP | POLLERR)) == 0)
            continue;
        if (!room) {
            // Hung up while the printer holds its bytes: they are printed all the same.
            served.Hangup();
            continue;
        }
        const size_t want = kReceiveBuffer - held.size();
        const ssize_t n = ::recv(client, buffer, want, 0);
        if (n > 0) {
            // A full read: more is likely waiting, so read on without a turn of poll first.
            if (static_cast<size_t>(n) == want && readOn == 0)
                readOn = kReadsWithoutPoll;
            heard = Clock::now();
            const std::string_view bytes(buffer, static_cast<size_t>(n));
            RealTimeAnswers(served, sink.receive(bytes));
            held.append(bytes);
            buffered = held.size();
            // Real-time answers go before the printer gets to the bytes.
            served.SendAnswers();
        } else if (n == 0) {
            ended = true;
        } else if (!Retry(errno)) {
            served.Hangup();
        } else {
            readOn = 0;
        }
    }
    // Stopped: what the printer has received (and perhaps answered for) is printed, not lost.
    if (!held.empty())
        sink.print(held, answers);
    return std::nullopt;
}

void TcpEndpoint::Impl::RealTimeAnswers(Client& client, std::string bytes) {
    const int64_t delay = answerDelayMs;
    if (bytes.empty() || delay == kAnswersNever.count())
        return;
    if (delay == 0 && client.late.empty())
        client.answers += bytes;
    else
        client.late.emplace_back(Clock::now() + std::chrono::milliseconds(delay), std::move(bytes));
}

void TcpEndpoint::Impl::Hear(Client& w, short got) {
    if ((got & POLLOUT) != 0 && !w.SendAnswers())
        return;
    if ((got & (POLLIN | POLLHUP | POLLERR)) == 0)
        return;
    if (!w.Room()) {
        w.Hangup();  // its bytes wait for its turn all the same
        return;
    }
    char buffer[kReceiveBuffer];
    const ssize_t n = ::recv(w.fd.get(), buffer, kReceiveBuffer - w.held.size(), 0);
    if (n > 0) {
        const std::string_view bytes(buffer, static_cast<size_t>(n));
        w.answers += sink.waiting(bytes, w.cut);
        w.held.append(bytes);
        w.SendAnswers();
    } else if (n == 0) {
        w.ended = true;
    } else if (!Retry(errno)) {
        w.Hangup();
    }
}

TcpEndpoint::TcpEndpoint(TcpOptions options, Sink sink, TcpEvents events)
    : impl_(std::make_unique<Impl>(std::move(options), std::move(sink), std::move(events))) {}

TcpEndpoint::~TcpEndpoint() = default;

std::string TcpEndpoint::Address() const {
    const std::string host = impl_->v6 ? "[" + impl_->host + "]" : impl_->host;
    return host + ":" + std::to_string(impl_->port);
}

std::string TcpEndpoint::Host() const {
    return impl_->host;
}

uint16_t TcpEndpoint::Port() const {
    return impl_->port;
}

void TcpEndpoint::SetIdleLimit(std::chrono::milliseconds limit) {
    impl_->idleMs = std::max<int64_t>(0, limit.count());
    impl_->wake.Signal();
}

std::chrono::milliseconds TcpEndpoint::IdleLimit() const {
    return std::chrono::milliseconds(impl_->idleMs.load());
}

bool TcpEndpoint::Serving() const {
    std::lock_guard lock(impl_->queueMutex);
    return impl_->queue.served.has_value();
}

int TcpEndpoint::Waiting() const {
    const TcpQueue queue = Queue();
    return static_cast<int>(queue.waiting.size()) + queue.backlog;
}

TcpQueue TcpEndpoint::Queue() const {
    TcpQueue queue;
    {
        std::lock_guard lock(impl_->queueMutex);
        queue = impl_->queue;
    }
    // A listening socket's TCP_INFO counts the connections in its accept queue.
    tcp_info info{};
    socklen_t length = sizeof info;
    if (::getsockopt(impl_->listener.get(), IPPROTO_TCP, TCP_INFO, &info, &length) == 0)
        queue.backlog = static_cast<int>(info.tcpi_unacked);
    return queue;
}

void TcpEndpoint::Resume() {
    impl_->wake.Signal();
}

void TcpEndpoint::Send(std::string_view bytes) {
    if (bytes.empty())
        return;
    impl_->outbox.Put(bytes);
    impl_->wake.Signal();
}

size_t TcpEndpoint::Buffered() const {
    return impl_->buffered;
}

void TcpEndpoint::Reset() {
    if (!Serving())
        return;
    impl_->resetAsked = true;
    impl_->wake.Signal();
}

void TcpEndpoint::SetStalled(bool stalled) {
    impl_->hung = stalled;
    impl_->wake.Signal();
}

void TcpEndpoint::SetAnswerDelay(std::chrono::milliseconds delay) {
    impl_->answerDelayMs = std::max<int64_t>(0, delay.count());
    impl_->wake.Signal();
}

struct PtyEndpoint::Impl {
    Impl(PtyOptions options, Sink s);
    ~Impl() {
        stop = true;
        wake.Signal();
        thread.join();
    }
    void Run();
    // Sends XOFF while the printer is busy (held, or its receive buffer full), XON once not.
    void Flow();
    // The client's line speed where it is not the printer's (0 where it is, or either is any).
    long WrongSpeed() const;

    Sink sink;
    UniqueFd master;
    UniqueFd slave;
    std::string slavePath;
    std::atomic<long> readBaud;
    std::mutex flowMutex;  // keeps XOFF and XON in the order of the calls
    std::atomic<bool> hold{false};
    std::atomic<bool> full{false};
    bool xoff = false;  // sent last; under flowMutex
    Outbox outbox;
    std::atomic<size_t> buffered{0};
    EventFd wake;  // to stop, or to look at changed settings
    std::atomic<bool> stop{false};
    std::thread thread;
};

PtyEndpoint::Impl::Impl(PtyOptions options, Sink s)
    : sink(std::move(s)), readBaud(options.readBaud) {
    PseudoTerminal pty = OpenPseudoTerminal();
    master = std::move(pty.master);
    slave = std::move(pty.slave);
    slavePath = std::move(pty.path);
    termios t{};
    if (::tcgetattr(slave.get(), &t) != 0)
        ThrowErrno(errno, "tcgetattr");
    ::cfmakeraw(&t);
    // XON/XOFF from the start, as this printer's line runs: a hold set before the tool opens the
    // port then already stops it, rather than arriving as a data byte nobody reads.
    t.c_iflag |= IXON;
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::tcsetattr(slave.get(), TCSANOW, &t) != 0)
        ThrowErrno(errno, "tcsetattr");
    thread = std::thread([this] { Run(); });
}

long PtyEndpoint::Impl::WrongSpeed() const {
    const long printer = sink.baud ? sink.baud() : 0;
    uint32_t line = 0;
    if (printer <= 0 || ReadSerialBaud(slave.get(), line) != 0 || line == 0 || line == printer)
        return 0;
    return static_cast<long>(line);
}

void PtyEndpoint::Impl::Run() {
    std::string held, answers;
    std::string wire;  // answers as the client's line carries them, not sent yet
    held.reserve(kReceiveBuffer);
    char buffer[kReceiveBuffer];
    double credit = 0;  // bytes the line has delivered but we have not read yet
    auto last = Clock::now();
    auto speak = [&] {
        if (answers.empty())
            return;
        const long wrong = WrongSpeed();
        wire += wrong == 0 ? answers : AtLineSpeed(answers, sink.baud(), wrong);
        answers.clear();
    };
    while (!stop) {
        outbox.TakeInto(answers);
        if (!held.empty()) {
            held.erase(0, sink.print(held, answers));
            buffered = held.size();
        }
        speak();
        // Free again only once a quarter of it is, so that a printer taking a little at a time
        // (its print speed) does not send XON and XOFF for every few bytes.
        if (full != (held.size() >= (full ? kReceiveBuffer * 3 / 4 : kReceiveBuffer))) {
            full = !full;
            Flow();
        }
        const double rate = static_cast<double>(readBaud.load()) / 10.0;
        bool reading = !full && wire.size() < kAnswerLimit;
        size_t allowance = kReceiveBuffer - held.size();
        int timeout = -1;
        const auto now = Clock::now();
        if (reading && rate > 0) {
            const double step = std::max(1.0, rate * kReadStepSeconds);
            const double elapsed = std::chrono::duration<double>(now - last).count();
            credit = std::min(credit + elapsed * rate, 2 * step);
            if (credit < step) {
                reading = false;
                timeout = static_cast<int>(std::ceil((step - credit) / rate * 1000.0));
            } else {
                allowance = std::min(allowance, static_cast<size_t>(credit));
            }
        }
        last = now;
        timeout = WaitLess(timeout, sink, !held.empty());
        const short events = (reading ? POLLIN : 0) | (wire.empty() ? 0 : POLLOUT);
        pollfd fds[2] = {{wake.fd(), POLLIN, 0}, {master.get(), events, 0}};
        if (::poll(fds, 2, timeout) < 0 && errno != EINTR)
            return;
        if ((fds[0].revents & POLLIN) != 0) {
            wake.Take();
            continue;
        }
        const short got = fds[1].revents;
        if ((got & POLLOUT) != 0)
            Flush(master.get(), false, wire);
        if ((got & POLLIN) == 0 || !reading)
            continue;
        const ssize_t n = ::read(master.get(), buffer, allowance);
        if (n > 0) {
            credit -= static_cast<double>(n);
            std::string_view bytes(buffer, static_cast<size_t>(n));
            std::string misheard;
            if (const long wrong = WrongSpeed(); wrong != 0) {
                misheard = AtLineSpeed(bytes, wrong, sink.baud());
                bytes = misheard;
            }
            answers += sink.receive(bytes);
            held.append(bytes);
            buffered = held.size();
            speak();
            Flush(master.get(), false, wire);
        } else if (n == 0 || !Retry(errno)) {
            // Our own slave descriptor rules out a hang-up: whatever this is, do not spin on it.
            return;
        }
    }
    if (!held.empty())
        sink.print(held, answers);
}

void PtyEndpoint::Impl::Flow() {
    std::lock_guard lock(flowMutex);
    const bool busy = hold || full;
    if (busy == xoff)
        return;
    const std::string_view control = busy ? "\x13" : "\x11";
    // At the wrong speed it is garbage too: that client's writes are not held.
    const long wrong = WrongSpeed();
    const std::string sent =
        wrong == 0 ? std::string(control) : AtLineSpeed(control, sink.baud(), wrong);
    WriteAll(master.get(), sent.data(), sent.size(), false);
    // The line discipline takes input from a work queue; polling the slave with nothing to read
    // runs that work now, so the writer stops before this returns, not some 16 KiB later.
    pollfd p{slave.get(), POLLIN, 0};
    ::poll(&p, 1, 0);
    xoff = busy;
}

PtyEndpoint::PtyEndpoint(PtyOptions options, Sink sink)
    : impl_(std::make_unique<Impl>(options, std::move(sink))) {}

PtyEndpoint::~PtyEndpoint() = default;

const std::string& PtyEndpoint::SlavePath() const {
    return impl_->slavePath;
}

void PtyEndpoint::SetHold(bool hold) {
    impl_->hold = hold;
    impl_->Flow();
    impl_->wake.Signal();
}

void PtyEndpoint::SetReadBaud(long baud) {
    impl_->readBaud = baud;
    impl_->wake.Signal();
}

void PtyEndpoint::Resume() {
    impl_->wake.Signal();
}

void PtyEndpoint::Send(std::string_view bytes) {
    if (bytes.empty())
        return;
    impl_->outbox.Put(bytes);
    impl_->wake.Signal();
}

size_t PtyEndpoint::Buffered() const {
    return impl_->buffered;
}

}  // namespace kelvo::printer
