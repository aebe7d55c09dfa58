#include "printer/Lpd.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace kelvo::printer {

namespace {

constexpr char kAck[] = {'\0'};
constexpr char kRefuse[] = {'\1'};

std::string Ack() {
    return std::string(kAck, 1);
}
std::string Refuse() {
    return std::string(kRefuse, 1);
}

// "count SP name": the count, when it is a plain decimal number.
bool ParseCount(std::string_view operands, uint64_t& count) {
    const size_t space = operands.find(' ');
    const std::string_view digits = operands.substr(0, space);
    if (digits.empty() || space == std::string_view::npos)
        return false;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), count);
    return error == std::errc() && end == digits.data() + digits.size();
}

}  // namespace

std::string LpdSession::Take(std::string_view bytes) {
    std::string replies;
    while (!bytes.empty() && state_ != State::Over) {
        switch (state_) {
            case State::Command:
            case State::Subcommand: {
                const size_t end = bytes.find('\n');
                line_.append(bytes.substr(0, end));
                if (line_.size() > kLpdLineLimit)
                    return replies + Fail("a command line longer than " +
                                          std::to_string(kLpdLineLimit) + " bytes");
                if (end == std::string_view::npos)
                    return replies;
                bytes.remove_prefix(end + 1);
                replies += Line(std::exchange(line_, {}));
                break;
            }
            case State::File: {
                const size_t n = static_cast<size_t>(std::min<uint64_t>(fileLeft_, bytes.size()));
                (fileIsData_ ? data_ : control_).append(bytes.substr(0, n));
                fileLeft_ -= n;
                bytes.remove_prefix(n);
                if (fileLeft_ == 0)
                    state_ = State::FileEnd;
                break;
            }
            case State::FileEnd:
                // Each file is followed by one zero byte, acknowledged in turn.
                if (bytes.front() != '\0')
                    return replies + Fail("a file not followed by its zero byte");
                bytes.remove_prefix(1);
                if (fileIsData_)
                    sawData_ = true;
                else
                    ReadControlFile();
                complete_ = sawData_;
                state_ = State::Subcommand;
                replies += Ack();
                break;
            case State::Stream: {
                const uint64_t room = kLpdJobLimit - dataBytes_;
                if (bytes.size() > room)
                    return replies +
                           Fail("a job larger than " + std::to_string(kLpdJobLimit) + " bytes");
                data_.append(bytes);
                dataBytes_ += bytes.size();
                bytes = {};
                break;
            }
            case State::Over:
                break;
        }
    }
    return replies;
}

std::string LpdSession::Line(std::string_view line) {
    if (line.empty())
        return Fail("an empty command");
    const char code = line.front();
    const std::string_view operands = line.substr(1);
    if (state_ == State::Command) {
        switch (code) {
            case '\2':  // receive a printer job
                queue_ = std::string(operands);
                state_ = State::Subcommand;
                return Ack();
            case '\3':  // queue state, short and long
            case '\4':
                state_ = State::Over;
                return std::string(operands.substr(0, operands.find(' '))) + ": ready\n";
            case '\1':  // print waiting jobs, remove jobs: nothing waits here
            case '\5':
                state_ = State::Over;
                return {};
            default:
                return Fail("an unknown command " + std::to_string(uint8_t(code)));
        }
    }
    switch (code) {
        case '\1':  // abort the job: what came of it is dropped
            data_.clear();
            dataBytes_ = 0;
            sawData_ = complete_ = false;
            failed_ = true;
            failure_ = "the client aborted the job";
            state_ = State::Over;
            return Ack();
        case '\2':
        case '\3': {
            uint64_t count = 0;
            if (!ParseCount(operands, count))
                return Fail("a file announced without its length");
            fileIsData_ = code == '\3';
            if (fileIsData_ && count == 0) {
                // No length: the data runs to the end of the connection (LPRng and CUPS's
                // streaming mode).
                state_ = State::Stream;
                return Ack();
            }
            const uint64_t limit = fileIsData_ ? kLpdJobLimit - dataBytes_ : kLpdControlLimit;
            if (count > limit)
                return Refuse();  // the client may go on with another file or give up
            if (fileIsData_)
                dataBytes_ += count;
            else
                control_.clear();
            fileLeft_ = count;
            state_ = State::File;
            return Ack();
        }
        default:
            return Fail("an unknown subcommand " + std::to_string(uint8_t(code)));
    }
}

void LpdSession::Closed() {
    if (state_ == State::Stream)
        complete_ = sawData_ = true;
    else if (state_ == State::File || state_ == State::FileEnd)
        Fail("the connection closed inside a file");
    state_ = State::Over;
}

std::string LpdSession::TakeData() {
    return std::exchange(data_, {});
}

std::string LpdSession::Fail(std::string why) {
    failed_ = true;
    failure_ = std::move(why);
    state_ = State::Over;
    return {};
}

void LpdSession::ReadControlFile() {
    // One line a field, its letter first: J the job's name, P the user (L, the banner's user, when
    // there is no P).
    size_t at = 0;
    while (at < control_.size()) {
        size_t end = control_.find('\n', at);
        if (end == std::string::npos)
            end = control_.size();
        const std::string_view line(control_.data() + at, end - at);
        if (line.size() > 1 && line.front() == 'J')
            jobName_ = line.substr(1);
        else if (line.size() > 1 && (line.front() == 'P' || (line.front() == 'L' && user_.empty())))
            user_ = line.substr(1);
        at = end + 1;
    }
    control_.clear();
}

}  // namespace kelvo::printer
