#include "app/ActivityLog.h"

#include <QAbstractButton>
#include <QRegularExpression>

#include <algorithm>
#include <string_view>

#include "links/PosdllFuncs.h"
#include "protocol/Decoder.h"
#include "protocol/PrinterStatus.h"

namespace {

QString Pick(bool english, const char* en, const QString& zh) {
    return english ? QString::fromUtf8(en) : zh;
}

QString Hex(const std::string& bytes, size_t limit) {
    return QString::fromStdString(kelvo::HexBytes(bytes, limit));
}

// What an answer to DLE EOT 1 says, a fact a line.
QStringList OnlineLines(const kelvo::PrinterStatus& s, bool english) {
    return {*s.online ? Pick(english, "Online", QStringLiteral("在线"))
                      : Pick(english, "Offline", QStringLiteral("离线")),
            *s.drawerPinHigh ? Pick(english, "Drawer pin 3: high", QStringLiteral("钱箱引脚3：高"))
                             : Pick(english, "Drawer pin 3: low", QStringLiteral("钱箱引脚3：低"))};
}

}  // namespace

TActivityLog::Action::Action(TActivityLog& log, const QString& name) : log_(log) {
    if (log_.depth_++ > 0)
        return;
    std::lock_guard lock(log_.mu_);
    log_.open_.emplace();
    log_.open_->time = QDateTime::currentDateTime();
    log_.open_->action = name;
    log_.touched_ = false;
}

TActivityLog::Action::~Action() {
    if (--log_.depth_ == 0)
        log_.Commit();
}

void TActivityLog::Commit() {
    std::optional<Entry> done;
    {
        std::lock_guard lock(mu_);
        if (touched_)
            done = std::move(open_);
        open_.reset();
    }
    if (!done)
        return;
    kelvo::DecoderState state;
    const auto decoded = kelvo::DecodeCommands(done->keptSent, state, 2 * kShownCommands + 2);
    for (size_t i = 0; i < decoded.size() && done->commands.size() <= kShownCommands; ++i) {
        // Lines end in CR LF: one line of the log, not two.
        if (decoded[i].name == "CR" && i + 1 < decoded.size() && decoded[i + 1].name == "LF") {
            done->commands.push_back("CR LF");
            ++i;
            continue;
        }
        done->commands.push_back(kelvo::FormatCommand(decoded[i]));
    }
    Append(std::move(*done));
}

void TActivityLog::Append(Entry entry) {
    entry.serial = ++serial_;
    entries_.push_back(std::move(entry));
    while (entries_.size() > kMaxEntries)
        entries_.pop_front();
    emit Changed();
}

void TActivityLog::Searched(const QString& action, const QString& target, bool failed,
                            const QString& outcome) {
    Entry entry;
    entry.time = QDateTime::currentDateTime();
    entry.action = action;
    entry.target = target;
    entry.failed = failed;
    entry.outcome = outcome;
    entry.search = true;
    Append(std::move(entry));
}

void TActivityLog::Tapped(const QString& route, const std::vector<std::string>& lines) {
    for (size_t first = 0; first < lines.size(); first += kShownCommands) {
        Entry entry;
        entry.time = QDateTime::currentDateTime();
        entry.target = route;
        entry.tap = true;
        const auto from = lines.begin() + static_cast<ptrdiff_t>(first);
        entry.commands.assign(
            from, from + static_cast<ptrdiff_t>(std::min(kShownCommands, lines.size() - first)));
        Append(std::move(entry));
    }
}

void TActivityLog::ClosedByPrinter(const QString& target, const std::string& bytes) {
    Entry entry;
    entry.time = QDateTime::currentDateTime();
    entry.target = target;
    entry.closedByPrinter = true;
    entry.received = bytes.size();
    entry.keptReceived = bytes.substr(0, kKeptReceived);
    Append(std::move(entry));
}

void TActivityLog::SetTarget(const QString& target) {
    std::lock_guard lock(mu_);
    if (!open_)
        return;
    open_->target = target;
    touched_ = true;
}

void TActivityLog::AddSent(const char* data, size_t size) noexcept {
    std::lock_guard lock(mu_);
    if (!open_)
        return;
    touched_ = true;
    open_->sent += size;
    const size_t room = kKeptBytes - std::min(kKeptBytes, open_->keptSent.size());
    try {
        open_->keptSent.append(data, std::min(room, size));
    } catch (...) {
        // Out of memory: the count stays true, only the shown bytes are short.
    }
}

void TActivityLog::AddReceived(const std::string& bytes) noexcept {
    std::lock_guard lock(mu_);
    if (!open_ || bytes.empty())
        return;
    touched_ = true;
    open_->received += bytes.size();
    const size_t room = kKeptReceived - std::min(kKeptReceived, open_->keptReceived.size());
    try {
        open_->keptReceived.append(bytes, 0, std::min(room, bytes.size()));
    } catch (...) {
    }
}

void TActivityLog::SetFailure(const QString& text) {
    std::lock_guard lock(mu_);
    if (!open_)
        return;
    touched_ = true;
    if (open_->failed)
        return;
    open_->failed = true;
    open_->outcome = text;
}

void TActivityLog::SetOutcome(bool failed, const QString& text) {
    std::lock_guard lock(mu_);
    if (!open_)
        return;
    touched_ = true;
    open_->failed = failed;
    open_->outcome = text;
}

void TActivityLog::SetStatus(const StatusAnswers& answers, const StatusAnswers& late) {
    std::lock_guard lock(mu_);
    if (!open_)
        return;
    touched_ = true;
    open_->status = answers;
    open_->lateStatus = late;
}

void TActivityLog::SetLibraryResult(int32_t code) {
    std::lock_guard lock(mu_);
    if (!open_)
        return;
    touched_ = true;
    open_->failed = code != kelvo::kPosSuccess;
    open_->outcome.clear();
    open_->libraryCode = code;
}

void TActivityLog::Unsolicited(const QString& target, const std::string& bytes) {
    if (bytes.empty())
        return;
    if (InAction()) {
        AddReceived(bytes);
        return;
    }
    Action own(*this, QString());
    SetTarget(target);
    AddReceived(bytes);
}

void TActivityLog::Clear() {
    entries_.clear();
    emit Changed();
}

QString TActivityLog::Text(bool english, bool hex) const {
    QStringList text;
    for (const Entry& e : entries_)
        text << EntryText(e, english, hex).chopped(1);
    return text.join(QStringLiteral("\n\n"));
}

QString TActivityLog::EntryText(const Entry& e, bool english, bool hex) {
    const QString action =
        !e.action.isEmpty() ? e.action
        : e.tap             ? Pick(english, "Tap", QStringLiteral("监听"))
        : e.closedByPrinter
            ? Pick(english, "Printer closed the connection", QStringLiteral("打印机断开了连接"))
            : Pick(english, "Printer sent", QStringLiteral("打印机发来"));
    QString head =
        QStringLiteral("[%1] %2").arg(e.time.toString(QStringLiteral("HH:mm:ss")), action);
    if (!e.target.isEmpty())
        head += QStringLiteral(" → ") + e.target;
    if (e.sent > 0 || (!e.action.isEmpty() && !e.search)) {
        head += QStringLiteral(" · ") +
                (english ? QStringLiteral("%1 bytes") : QStringLiteral("%1 字节")).arg(e.sent);
    }
    if (!e.action.isEmpty()) {
        QString outcome = e.libraryCode ? LibraryResultText(*e.libraryCode, english) : e.outcome;
        outcome.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
        head += QStringLiteral(" · ") +
                (e.failed ? Pick(english, "FAILED: ", QStringLiteral("失败：")) + outcome
                          : Pick(english, "OK", QStringLiteral("成功")) +
                                (outcome.isEmpty() ? QString() : QStringLiteral(": ") + outcome));
    }
    QString text = head + QLatin1Char('\n');
    const QString indent = QStringLiteral("    ");
    const size_t shown = std::min(e.commands.size(), kShownCommands);
    for (size_t i = 0; i < shown; ++i)
        text += indent + QString::fromStdString(e.commands[i]) + QLatin1Char('\n');
    if (e.sent > e.keptSent.size() || e.commands.size() > kShownCommands) {
        text += indent + Pick(english, "… (more not shown)", QStringLiteral("…（其余未显示）")) +
                QLatin1Char('\n');
    }
    if (hex && !e.keptSent.empty())
        text += indent + QStringLiteral("hex: ") + Hex(e.keptSent, kKeptBytes) + QLatin1Char('\n');
    if (e.received > 0) {
        text += indent +
                (english ? QStringLiteral("received %1 bytes: ") : QStringLiteral("收到 %1 字节："))
                    .arg(e.received) +
                Hex(e.keptReceived, 64) + QLatin1Char('\n');
    }
    if (e.status) {
        for (const QString& line : StatusLines(*e.status, english, e.lateStatus))
            text += indent + line + QLatin1Char('\n');
    }
    return text;
}

QStringList TActivityLog::StatusLines(const StatusAnswers& answers, bool english,
                                      const StatusAnswers& late) {
    const kelvo::PrinterStatus s = kelvo::InterpretStatus(answers);
    static const char* const kRequestEn[4] = {"Printer status", "Offline cause", "Error cause",
                                              "Paper sensor"};
    static const char* const kRequestZh[4] = {"打印机状态", "离线原因", "错误原因", "纸传感器"};
    QStringList lines;
    auto noAnswer = [&](int n) {
        const QString request = QString::fromUtf8(english ? kRequestEn[n - 1] : kRequestZh[n - 1]);
        if (const auto& byte = late[static_cast<size_t>(n - 1)]) {
            lines << (english ? QStringLiteral("%1 (DLE EOT %2): late (%3), not read")
                              : QStringLiteral("%1 (DLE EOT %2)：应答超时（%3），未采用"))
                         .arg(request)
                         .arg(n)
                         .arg(*byte, 2, 16, QLatin1Char('0'));
            return;
        }
        lines << (english ? QStringLiteral("%1 (DLE EOT %2): no answer")
                          : QStringLiteral("%1 (DLE EOT %2)：无应答"))
                     .arg(request)
                     .arg(n);
    };
    if (s.online) {
        lines << OnlineLines(s, english);
    } else {
        noAnswer(1);
    }
    if (s.coverOpen) {
        lines << (*s.coverOpen ? Pick(english, "Cover: open", QStringLiteral("上盖：打开"))
                               : Pick(english, "Cover: closed", QStringLiteral("上盖：关闭")));
        if (*s.feedButton)
            lines << Pick(english, "Paper feed button: pressed", QStringLiteral("走纸键：按下"));
        if (*s.paperStop)
            lines << Pick(english, "Printing stopped: paper end", QStringLiteral("缺纸停止打印"));
    } else {
        noAnswer(2);
    }
    if (s.cutterError) {
        QStringList kinds;
        if (*s.cutterError)
            kinds << Pick(english, "cutter", QStringLiteral("切刀错误"));
        if (*s.unrecoverableError)
            kinds << Pick(english, "unrecoverable", QStringLiteral("不可恢复错误"));
        if (*s.recoverableError)
            kinds << Pick(english, "recoverable", QStringLiteral("可自动恢复错误"));
        if (kinds.isEmpty())
            kinds << Pick(english, "none", QStringLiteral("无"));
        lines << Pick(english, "Errors: ", QStringLiteral("错误：")) +
                     kinds.join(english ? QStringLiteral(", ") : QStringLiteral("、"));
    } else {
        noAnswer(3);
    }
    if (s.paperOut) {
        lines << (*s.paperOut       ? Pick(english, "Paper: out", QStringLiteral("纸：缺纸"))
                  : *s.paperNearEnd ? Pick(english, "Paper: near end", QStringLiteral("纸：将尽"))
                                    : Pick(english, "Paper: present", QStringLiteral("纸：正常")));
    } else {
        noAnswer(4);
    }
    return lines;
}

QString TActivityLog::StatusByteText(uint8_t answer, bool english) {
    const QString hex =
        QStringLiteral("0x") + QStringLiteral("%1").arg(answer, 2, 16, QLatin1Char('0')).toUpper();
    const kelvo::PrinterStatus s = kelvo::InterpretStatus({answer, {}, {}, {}});
    if (!s.online)
        return hex;  // no status byte: nothing to read in it
    return hex + QStringLiteral(": ") +
           OnlineLines(s, english).join(english ? QStringLiteral(", ") : QStringLiteral("，"));
}

QString TActivityLog::LibraryResultText(int32_t code, bool english) {
    struct Meaning {
        int32_t code;
        const char* english;
        const char* chinese;
    };
    static constexpr Meaning kMeanings[] = {
        {-1, "port open failed", "端口打开失败"},
        {kelvo::kPosSuccess, "done", "完成"},
        {kelvo::kPosFailed, "the port did not take the bytes", "端口未接收数据"},
        {kelvo::kPosNoPort, "no port open", "端口未打开"},
        {kelvo::kPosInvalidArgument, "invalid argument", "参数无效"},
        {kelvo::kPosTimeout, "the port took no byte for 10 s", "端口10秒未接收数据"},
        {kelvo::kPosFileError, "file missing or unreadable: nothing sent",
         "文件不存在或无法读取：未发送"},
        {kelvo::kPosBmpMalformed, "BMP malformed or truncated: nothing sent",
         "BMP文件格式错误或不完整：未发送"},
        {kelvo::kPosBmpUnsupported, "BMP kind not supported: nothing sent",
         "不支持此类BMP：未发送"},
        {kelvo::kPosBmpTooLarge, "BMP larger than 8184 x 2304 dots: nothing sent",
         "BMP大于8184 x 2304点：未发送"},
    };
    for (const Meaning& m : kMeanings) {
        if (m.code == code) {
            return QStringLiteral("%1 %2").arg(code).arg(
                QString::fromUtf8(english ? m.english : m.chinese));
        }
    }
    return QString::number(code);
}

QString TActivityLog::ActionName(const QAbstractButton* button) {
    QString text = button->text();
    // Only a caption with an ampersand has anything to remove; the pattern is built on first use,
    // which the start-up (the language button's click) then does not pay for.
    if (text.contains(QLatin1Char('&'))) {
        static const QRegularExpression accelerator(QStringLiteral("\\s*&\\w$"));
        text.remove(accelerator);
        text.remove(QLatin1Char('&'));
    }
    return text.simplified();
}
