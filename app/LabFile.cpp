#include "app/LabFile.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <arpa/inet.h>

#include <charconv>
#include <map>

#include "jobs/Jobs.h"
#include "printer/PaperWidth.h"
#include "protocol/Commands.h"

namespace {

using kelvo::printer::StoredSettings;

// Reads one printer's fields, each error naming the field where it is.
class Fields {
  public:
    Fields(std::string where, const QJsonObject& object) : where_(std::move(where)), o_(object) {}

    [[noreturn]] void Fail(const std::string& field, const std::string& why) const {
        throw LabError(where_ + field + ": " + why);
    }
    // Any field not in `known` is refused: a misspelt one would otherwise pass for its default.
    void OnlyThese(std::initializer_list<const char*> known) const {
        for (const QString& key : o_.keys()) {
            bool found = false;
            for (const char* k : known)
                found = found || key == QLatin1String(k);
            if (!found)
                Fail(key.toStdString(), "no such field");
        }
    }
    // Where a field's own fields are.
    std::string Path(const char* field) const { return where_ + field + "."; }
    bool Has(const char* field) const { return o_.contains(QLatin1String(field)); }
    QJsonValue At(const char* field) const { return o_.value(QLatin1String(field)); }
    std::string Text(const char* field) const {
        const QJsonValue v = At(field);
        if (!v.isString() || v.toString().isEmpty())
            Fail(field, "takes a text");
        const QByteArray utf8 = v.toString().toUtf8();
        // GS I ends its answers with NUL, and names must print on one line.
        for (const char c : utf8) {
            if (static_cast<unsigned char>(c) < 0x20)
                Fail(field, "takes no control characters");
        }
        return utf8.toStdString();
    }
    long Number(const char* field, long lo, long hi) const {
        const QJsonValue v = At(field);
        const double d = v.toDouble(-1);
        if (!v.isDouble() || d != static_cast<double>(static_cast<long>(d)) || d < lo || d > hi)
            Fail(field,
                 "takes a whole number, " + std::to_string(lo) + " to " + std::to_string(hi));
        return static_cast<long>(d);
    }
    bool Flag(const char* field) const {
        if (!At(field).isBool())
            Fail(field, "takes true or false");
        return At(field).toBool();
    }
    QJsonObject Object(const char* field) const {
        if (!At(field).isObject())
            Fail(field, "takes an object");
        return At(field).toObject();
    }
    // "HOST:PORT", or with `portOnly` a PORT alone too (host nothing); the host numeric.
    std::pair<std::optional<std::string>, uint16_t> Where(const char* field, bool portOnly) const {
        const QJsonValue v = At(field);
        if (portOnly && v.isDouble())
            return {std::nullopt, static_cast<uint16_t>(Number(field, 0, 65535))};
        const std::string text = Text(field);
        // HOST:PORT, [IPv6]:PORT; PORT alone where a host may be left out.
        const size_t colon = text.rfind(':');
        std::optional<std::string> host;
        if (colon != std::string::npos) {
            host = text.substr(0, colon);
            if (host->size() > 2 && host->front() == '[' && host->back() == ']')
                host = host->substr(1, host->size() - 2);
        }
        if ((!host && !portOnly) || (host && host->empty()))
            Fail(field, "'" + text + "' is no " + (portOnly ? "[HOST:]PORT" : "HOST:PORT"));
        in6_addr address{};
        if (host && ::inet_pton(AF_INET, host->c_str(), &address) != 1 &&
            ::inet_pton(AF_INET6, host->c_str(), &address) != 1)
            Fail(field, "'" + *host + "' is no numeric address (127.0.0.1, ::1)");
        const std::string digits = host ? text.substr(colon + 1) : text;
        unsigned port = 0;
        const auto [end, error] =
            std::from_chars(digits.data(), digits.data() + digits.size(), port);
        if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
            port > 65535)
            Fail(field, "'" + digits + "' is no TCP port (0 to 65535)");
        return {host, static_cast<uint16_t>(port)};
    }

  private:
    std::string where_;
    QJsonObject o_;
};

kelvo::printer::Identity IdentityOf(const Fields& fields) {
    kelvo::printer::Identity identity;
    fields.OnlyThese({"maker", "model", "firmware", "serial"});
    for (auto [field, value] : {std::pair{"maker", &identity.maker},
                                {"model", &identity.model},
                                {"firmware", &identity.firmware},
                                {"serial", &identity.serial}}) {
        if (fields.Has(field))
            *value = fields.Text(field);
    }
    return identity;
}

// Named as a job's record names the settings it changed.
StoredSettings SettingsOf(const Fields& fields) {
    StoredSettings s;
    fields.OnlyThese({"baud", "charset", "code_page", "chinese", "switches", "ip", "mac"});
    if (fields.Has("baud")) {
        const auto code = kelvo::BaudCode(fields.Number("baud", 1, 1000000));
        if (!code)
            fields.Fail("baud", "takes 115200, 38400, 19200 or 9600");
        s.baudCode = *code;
    }
    if (fields.Has("charset"))
        s.intlCharset = static_cast<uint8_t>(fields.Number("charset", 0, 255));
    if (fields.Has("code_page"))
        s.codePage = static_cast<uint8_t>(fields.Number("code_page", 0, 255));
    if (fields.Has("chinese"))
        s.chineseMode = fields.Flag("chinese");
    if (fields.Has("switches"))
        s.switches = static_cast<uint8_t>(fields.Number("switches", 0, 255));
    if (fields.Has("ip")) {
        const std::string text = fields.Text("ip");
        const auto numbers = kelvo::jobs::DottedNumbers(text);
        bool octets = numbers.has_value();
        for (size_t i = 0; octets && i < 4; ++i) {
            octets = (*numbers)[i] >= 0 && (*numbers)[i] <= 255;
            if (octets)
                s.ip[i] = static_cast<uint8_t>((*numbers)[i]);
        }
        if (!octets)
            fields.Fail("ip", "'" + text + "' is no IPv4 address");
    }
    if (fields.Has("mac")) {
        const std::string text = fields.Text("mac");
        const auto mac = kelvo::jobs::MacOctets(text);
        if (!mac)
            fields.Fail("mac", "'" + text + "' is no MAC address (12 hex digits)");
        s.mac = *mac;
    }
    return s;
}

LabPrinter PrinterOf(const Fields& fields) {
    LabPrinter p;
    fields.OnlyThese({"name", "listen", "lpd", "serial", "paper", "identity", "settings", "save",
                      "persona", "pictures", "script"});
    p.name = fields.Text("name");
    if (!fields.Has("listen"))
        fields.Fail("listen", "missing: each printer needs its HOST:PORT");
    const auto [host, port] = fields.Where("listen", false);
    p.host = *host;
    p.port = port;
    if (fields.Has("lpd")) {
        const auto [lpdHost, lpdPort] = fields.Where("lpd", true);
        p.lpdHost = lpdHost;
        p.lpdPort = lpdPort;
    }
    if (fields.Has("serial"))
        p.serial = fields.Flag("serial");
    if (fields.Has("paper")) {
        const long mm = fields.Number("paper", 0, 1000);
        const auto dots = kelvo::printer::PaperDotsForMm(std::to_string(mm));
        if (!dots)
            fields.Fail("paper", "takes 58 or 80 (mm), not " + std::to_string(mm));
        p.paperDots = *dots;
    }
    if (fields.Has("identity"))
        p.identity = IdentityOf(Fields(fields.Path("identity"), fields.Object("identity")));
    if (fields.Has("settings")) {
        p.settings = SettingsOf(Fields(fields.Path("settings"), fields.Object("settings")));
        // A speed named is one the line holds to, as a real printer's does.
        if (fields.Object("settings").contains(QLatin1String("baud")))
            p.serialBaud = p.settings.Baud();
    }
    if (fields.Has("save"))
        p.save = fields.Text("save");
    if (fields.Has("persona")) {
        const std::string path = fields.Text("persona");
        QFile file(QString::fromLocal8Bit(path.c_str()));
        if (!file.open(QIODevice::ReadOnly))
            fields.Fail("persona", path + ": " + file.errorString().toStdString());
        const QByteArray bytes = file.readAll();
        std::string why;
        std::optional<kelvo::Persona> persona = kelvo::PersonaOfCapture(
            std::string_view(bytes.constData(), size_t(bytes.size())), &why);
        if (!persona)
            fields.Fail("persona", path + ": " + why);
        p.persona = std::move(*persona);
    }
    if (fields.Has("pictures"))
        p.pictures = fields.Flag("pictures");
    if (fields.Has("script")) {
        const QJsonValue steps = fields.At("script");
        if (!steps.isArray())
            fields.Fail("script", "takes a list of texts");
        for (const QJsonValue& step : steps.toArray()) {
            if (!step.isString() || step.toString().isEmpty())
                fields.Fail("script", "takes a list of texts, each a step");
            p.script.push_back(step.toString().toStdString());
        }
    }
    return p;
}

}  // namespace

std::vector<LabPrinter> ReadLabFile(const std::string& path) {
    QFile file(QString::fromLocal8Bit(path.c_str()));
    if (!file.open(QIODevice::ReadOnly))
        throw LabError(path + ": " + file.errorString().toStdString());
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(file.readAll(), &error);
    if (document.isNull())
        throw LabError(path + ": no JSON: " + error.errorString().toStdString() + " at byte " +
                       std::to_string(error.offset));
    const Fields top(path + ": ", document.object());
    if (!document.isObject())
        top.Fail("printers", "the file holds no object with a list of printers");
    top.OnlyThese({"printers"});
    const QJsonArray list = top.At("printers").toArray();
    if (list.isEmpty())
        top.Fail("printers", "takes a list of at least one printer");
    std::vector<LabPrinter> printers;
    std::map<std::string, std::string> names, addresses, folders;
    for (qsizetype i = 0; i < list.size(); ++i) {
        const std::string where = path + ": printers[" + std::to_string(i) + "].";
        if (!list[i].isObject())
            throw LabError(path + ": printers[" + std::to_string(i) + "]: takes an object");
        const Fields fields(where, list[i].toObject());
        LabPrinter p = PrinterOf(fields);
        const std::string self = "printers[" + std::to_string(i) + "]";
        auto once = [&](std::map<std::string, std::string>& seen, const char* field,
                        const std::string& key) {
            if (const auto [at, fresh] = seen.emplace(key, self); !fresh)
                fields.Fail(field, "'" + key + "' again, as " + at->second + " has it");
        };
        once(names, "name", p.name);
        // Port 0 takes any free one, which two printers never share.
        if (p.port != 0)
            once(addresses, "listen", p.host + ":" + std::to_string(p.port));
        if (p.lpdPort && *p.lpdPort != 0)
            once(addresses, "lpd", p.lpdHost.value_or(p.host) + ":" + std::to_string(*p.lpdPort));
        if (!p.save.empty())
            once(folders, "save", QDir::cleanPath(QString::fromStdString(p.save)).toStdString());
        printers.push_back(std::move(p));
    }
    return printers;
}

kelvo::printer::PrinterBox::Options BoxOptionsOf(const LabPrinter& p, bool exact,
                                                 std::vector<std::string>& warnings) {
    kelvo::printer::PrinterBox::Options options;
    const std::string who = p.name.empty() ? "" : p.name + ": ";
    options.tcp.host = p.host;
    options.tcp.port = p.port;
    if (exact) {
        // The user asked for this address, whatever it is, and no other.
        options.tcp.anyHost = true;
        options.tcp.exact = true;
        if (!kelvo::printer::IsLoopbackHost(p.host))
            warnings.push_back(who + "warning: listening on " + p.host +
                               ": anyone who can reach it can print");
    }
    if (p.lpdPort) {
        kelvo::printer::TcpOptions lpd = options.tcp;
        lpd.host = p.lpdHost.value_or(p.host);
        lpd.port = *p.lpdPort;
        lpd.anyHost = true;  // numeric, named by the user; warned of when not loopback
        if (p.lpdHost && !kelvo::printer::IsLoopbackHost(lpd.host))
            warnings.push_back(who + "warning: taking LPD jobs on " + lpd.host +
                               ": anyone who can reach it can print");
        options.lpd = lpd;
    }
    options.serial = p.serial;
    options.paperDots = p.paperDots;
    options.identity = p.identity;
    options.persona = p.persona;
    options.settings = p.settings;
    options.serialBaud = p.serialBaud;
    return options;
}
