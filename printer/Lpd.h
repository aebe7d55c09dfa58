#pragma once

// The receiving side of the line printer daemon protocol (RFC 1179), as a printer that takes jobs
// by it: Windows "LPR" ports and CUPS lpd:// queues send that way. A connection is one exchange.
// "Receive a printer job" is accepted for any queue; its data files, in the order sent, are the
// job's bytes, and its control file is read only for the job's name and user. Queue state
// requests get a line saying the printer is ready; the others are taken and answered with
// nothing, as the protocol allows. No I/O: the endpoint feeds the bytes and sends the replies.

#include <cstdint>
#include <string>
#include <string_view>

namespace kelvo::printer {

// A job's data files together, at most: a larger one is refused when it is announced (a spooler
// then reports the failure to its user) or, sent without a length, broken off.
inline constexpr uint64_t kLpdJobLimit = 64ull << 20;
// A command or subcommand line, and a control file, at most; past either the exchange is broken.
inline constexpr size_t kLpdLineLimit = 1024;
inline constexpr uint64_t kLpdControlLimit = 64 * 1024;

class LpdSession {
  public:
    // Takes the client's bytes in any pieces; returns what to send back.
    std::string Take(std::string_view bytes);
    // The client closed its side: a data file sent without a length ends here.
    void Closed();

    // Nothing more is taken: the connection is to be closed once the replies are out.
    bool Over() const { return state_ == State::Over; }
    // A whole job arrived: every file announced came whole, with at least one data file. Its
    // bytes may be taken (TakeData) as they come, before this is known.
    bool JobComplete() const { return complete_ && !failed_; }
    // Why the exchange broke off, or empty.
    const std::string& Failure() const { return failure_; }

    const std::string& Queue() const { return queue_; }
    const std::string& JobName() const { return jobName_; }
    const std::string& User() const { return user_; }
    // The data bytes received since the last call, in order.
    std::string TakeData();
    uint64_t DataBytes() const { return dataBytes_; }

  private:
    enum class State { Command, Subcommand, File, FileEnd, Stream, Over };

    std::string Line(std::string_view line);
    std::string Fail(std::string why);
    void ReadControlFile();

    State state_ = State::Command;
    std::string line_;
    std::string queue_, jobName_, user_;
    std::string data_;     // not yet taken
    std::string control_;  // the control file, as it comes
    bool fileIsData_ = false;
    uint64_t fileLeft_ = 0;
    uint64_t dataBytes_ = 0;
    bool sawData_ = false, complete_ = false, failed_ = false;
    std::string failure_;
};

}  // namespace kelvo::printer
