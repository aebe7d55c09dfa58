#include "protocol/Receipt.h"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>
#include <utility>

#include "protocol/Bytes.h"
#include "protocol/Commands.h"
#include "protocol/GbkText.h"
#include "protocol/Iconv.h"

namespace kelvo {

namespace {

constexpr BarcodeKind kBarcodes[] = {{"UPC-A", 65},   {"UPC-E", 66},  {"EAN13", 67},
                                     {"EAN8", 68},    {"CODE39", 69}, {"ITF", 70},
                                     {"CODABAR", 71}, {"CODE93", 72}, {"CODE128", 73}};

// How far ahead a change of code page looks for the one that holds the most.
constexpr size_t kLookAhead = 256;
// Rows of one GS v 0 picture: a taller one goes as several, stacked.
constexpr int kRasterBand = 2048;

bool SameName(std::string_view a, std::string_view b) {
    auto plain = [](std::string_view s) {
        std::string out;
        for (char c : s) {
            if (c != '-' && c != '_')
                out += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        }
        return out;
    };
    return plain(a) == plain(b);
}

// The source samples each of `out` samples along an axis of `in` takes, and their weights: the
// area it covers when shrinking, the two nearest when growing.
struct Taps {
    int from = 0;
    std::vector<float> weights;
};
std::vector<Taps> AxisTaps(int in, int out) {
    std::vector<Taps> taps(static_cast<size_t>(out));
    const double scale = static_cast<double>(in) / out;
    for (int o = 0; o < out; ++o) {
        Taps& t = taps[static_cast<size_t>(o)];
        if (scale > 1) {
            const double lo = o * scale, hi = std::min<double>((o + 1) * scale, in);
            t.from = static_cast<int>(lo);
            for (int i = t.from; i < hi; ++i)
                t.weights.push_back(static_cast<float>(
                    (std::min<double>(hi, i + 1) - std::max<double>(lo, i)) / (hi - lo)));
            continue;
        }
        const double at = std::clamp((o + 0.5) * scale - 0.5, 0.0, in - 1.0);
        t.from = std::min(static_cast<int>(at), in - 1);
        const float f = static_cast<float>(at - t.from);
        t.weights = t.from + 1 < in ? std::vector<float>{1 - f, f} : std::vector<float>{1};
    }
    return taps;
}

// The picture at `width` dots, its height in proportion, in grey levels.
std::vector<float> Scaled(const GreyPicture& p, int width, int height) {
    const std::vector<Taps> across = AxisTaps(p.width, width), down = AxisTaps(p.height, height);
    std::vector<float> rows(static_cast<size_t>(width) * p.height);
    for (int y = 0; y < p.height; ++y) {
        const uint8_t* in = p.grey.data() + static_cast<size_t>(y) * p.width;
        for (int x = 0; x < width; ++x) {
            const Taps& t = across[static_cast<size_t>(x)];
            float sum = 0;
            for (size_t i = 0; i < t.weights.size(); ++i)
                sum += t.weights[i] * in[t.from + i];
            rows[static_cast<size_t>(y) * width + x] = sum;
        }
    }
    std::vector<float> out(static_cast<size_t>(width) * height);
    for (int y = 0; y < height; ++y) {
        const Taps& t = down[static_cast<size_t>(y)];
        for (int x = 0; x < width; ++x) {
            float sum = 0;
            for (size_t i = 0; i < t.weights.size(); ++i)
                sum += t.weights[i] * rows[(t.from + i) * width + x];
            out[static_cast<size_t>(y) * width + x] = sum;
        }
    }
    return out;
}

// Floyd-Steinberg: each dot black or white, its error passed on to the dots not yet decided.
// The rows packed 8 dots a byte, 1 black.
std::string Dithered(std::vector<float> grey, int width, int height) {
    const size_t rowBytes = (static_cast<size_t>(width) + 7) / 8;
    std::string bits(rowBytes * height, '\0');
    for (int y = 0; y < height; ++y) {
        float* row = grey.data() + static_cast<size_t>(y) * width;
        float* next = y + 1 < height ? row + width : nullptr;
        for (int x = 0; x < width; ++x) {
            const bool black = row[x] < 128;
            const float error = row[x] - (black ? 0 : 255);
            if (black)
                bits[y * rowBytes + x / 8] |= static_cast<char>(0x80 >> (x % 8));
            if (x + 1 < width)
                row[x + 1] += error * 7 / 16;
            if (next != nullptr) {
                if (x > 0)
                    next[x - 1] += error * 3 / 16;
                next[x] += error * 5 / 16;
                if (x + 1 < width)
                    next[x + 1] += error * 1 / 16;
            }
        }
    }
    return bits;
}

}  // namespace

std::vector<BarcodeKind> BarcodeKinds() {
    return {std::begin(kBarcodes), std::end(kBarcodes)};
}

// The code pages in the decoder's order, then GBK; each one's converter opened when first asked.
struct ReceiptComposer::Encodings {
    struct One {
        std::optional<uint8_t> page;  // none: GBK
        const char* charset;
        bool opened = false;
        std::unique_ptr<Iconv> converter;
    };
    std::vector<One> all;

    Encodings() {
        for (const TextCodePage& page : TextCodePages())
            all.push_back({page.n, page.charset, false, nullptr});
        all.push_back({std::nullopt, "GBK", false, nullptr});
    }
    size_t Gbk() const { return all.size() - 1; }

    // The character's bytes in encoding `e`, or nothing when it has none there.
    std::optional<std::string> Encode(size_t e, std::string_view character) {
        One& one = all[e];
        if (!std::exchange(one.opened, true)) {
            try {
                one.converter = std::make_unique<Iconv>(one.charset, "UTF-8");
            } catch (const std::runtime_error&) {
            }
        }
        if (!one.converter)
            return std::nullopt;
        bool refused = false;
        std::string out =
            one.converter->ConvertAll(character, [&](std::string&, const char*, size_t left) {
                refused = true;
                return left;
            });
        // Below 80 a byte is ASCII or a control to the printer, whatever the code page says.
        const auto b = [&](size_t i) { return static_cast<uint8_t>(out[i]); };
        const bool fits = one.page ? out.size() == 1 && b(0) >= 0x80
                                   : out.size() == 2 && b(0) >= 0x81 && b(0) <= 0xFE &&
                                         b(1) >= 0x40 && b(1) != 0x7F && b(1) <= 0xFE;
        if (refused || !fits)
            return std::nullopt;
        return out;
    }
};

ReceiptComposer::ReceiptComposer(int paperDots)
    : paperDots_(paperDots), encodings_(std::make_unique<Encodings>()) {
    // From a known start, ASCII as typed whatever character set the printer stores.
    bytes_ = Initialize() + SelectIntlCharset(0);
}

ReceiptComposer::~ReceiptComposer() = default;

void ReceiptComposer::Switch(size_t e) {
    const auto& to = encodings_->all[e];
    const bool gbk = !to.page;
    const bool wasGbk = encoding_ && *encoding_ == encodings_->Gbk();
    if (gbk) {
        if (!wasGbk)
            bytes_ += ChineseModeOn();
    } else {
        if (!encoding_ || wasGbk)
            bytes_ += ChineseModeOff();
        bytes_ += SelectCodePage(*to.page);
    }
    encoding_ = e;
}

void ReceiptComposer::Text(std::string_view utf8) {
    std::vector<std::string_view> characters;
    const auto* s = reinterpret_cast<const unsigned char*>(utf8.data());
    for (size_t i = 0; i < utf8.size();) {
        const size_t n = Utf8SequenceLength(s + i, utf8.size() - i);
        characters.push_back(n == 0 ? std::string_view("?") : utf8.substr(i, n));
        i += std::max<size_t>(n, 1);
    }
    for (size_t i = 0; i < characters.size(); ++i) {
        const std::string_view c = characters[i];
        if (c.size() == 1) {
            const char b = c[0];
            bytes_ += b == '\n' || b == '\t' || IsTextByte(static_cast<uint8_t>(b)) ? b : '?';
            continue;
        }
        if (encoding_) {
            if (std::optional<std::string> here = encodings_->Encode(*encoding_, c)) {
                bytes_ += *here;
                continue;
            }
        }
        // The encoding that holds the longest stretch from here on, the first of equals.
        size_t best = 0, bestRun = 0;
        for (size_t e = 0; e < encodings_->all.size(); ++e) {
            size_t run = 0;
            for (size_t j = i; j < characters.size() && run < kLookAhead; ++j, ++run) {
                if (characters[j].size() > 1 && !encodings_->Encode(e, characters[j]))
                    break;
            }
            if (run > bestRun) {
                best = e;
                bestRun = run;
            }
        }
        if (bestRun == 0) {
            bytes_ += '?';
            continue;
        }
        if (best != encoding_)
            Switch(best);
        bytes_ += *encodings_->Encode(best, c);
    }
    bytes_ += '\n';
}

void ReceiptComposer::Picture(const GreyPicture& picture) {
    if (picture.width <= 0 || picture.height <= 0 ||
        picture.grey.size() != static_cast<size_t>(picture.width) * picture.height)
        throw std::invalid_argument("the picture is empty");
    const int width = paperDots_;
    const double height = std::round(static_cast<double>(picture.height) * width / picture.width);
    if (height > 65535)
        throw std::invalid_argument("the picture is too tall for the paper's width");
    const int rows = std::max(1, static_cast<int>(height));
    const std::string bits = Dithered(Scaled(picture, width, rows), width, rows);
    const size_t rowBytes = (static_cast<size_t>(width) + 7) / 8;
    for (int top = 0; top < rows; top += kRasterBand) {
        const int band = std::min(kRasterBand, rows - top);
        bytes_ += RasterImage(static_cast<uint16_t>(rowBytes), static_cast<uint16_t>(band),
                              std::string_view(bits).substr(top * rowBytes, band * rowBytes));
    }
}

void ReceiptComposer::Qr(std::string_view data) {
    if (data.empty() || data.size() > 7089)
        throw std::invalid_argument("a QR code holds 1 to 7089 bytes");
    // The module as large as a symbol of this much data (version 10, 19, 40 at level M) leaves
    // within the narrower paper.
    const uint8_t module = data.size() <= 200 ? 6 : data.size() <= 600 ? 4 : 2;
    bytes_ += QrCode(data, module);
}

void ReceiptComposer::Barcode(std::string_view kind, std::string_view data) {
    const auto found = std::find_if(std::begin(kBarcodes), std::end(kBarcodes),
                                    [&](const BarcodeKind& k) { return SameName(k.name, kind); });
    if (found == std::end(kBarcodes)) {
        std::string names;
        for (const BarcodeKind& k : kBarcodes)
            names += std::string(names.empty() ? "" : ", ") + std::string(k.name);
        throw std::invalid_argument("'" + std::string(kind) + "' is no bar code: " + names);
    }
    std::string sent(data);
    uint8_t module = 2;
    if (found->name == "CODE128") {
        // Code set C halves a run of digits; code set B takes the rest, its brace doubled.
        const bool digits =
            !data.empty() && data.size() % 2 == 0 &&
            std::all_of(data.begin(), data.end(), [](char c) { return c >= '0' && c <= '9'; });
        sent = digits ? "{C" : "{B";
        for (size_t i = 0; i < data.size(); i += digits ? 2 : 1) {
            if (digits)
                sent += static_cast<char>((data[i] - '0') * 10 + data[i + 1] - '0');
            else
                sent += data[i] == '{' ? "{{" : std::string(1, data[i]);
        }
        const size_t modules = 11 * ((digits ? data.size() / 2 : data.size()) + 2) + 13 + 20;
        module = modules * 3 <= static_cast<size_t>(paperDots_) ? 3 : 2;
        if (modules * 2 > static_cast<size_t>(paperDots_))
            throw std::invalid_argument("the CODE128 is wider than the paper");
    }
    if (data.empty() || sent.size() > 255)
        throw std::invalid_argument("a bar code holds 1 to 255 bytes");
    bytes_ +=
        BarcodeHeight(80) + BarcodeModule(module) + BarcodeText(2) + kelvo::Barcode(found->m, sent);
}

void ReceiptComposer::Align(uint8_t justification) {
    bytes_ += Justify(justification);
}

void ReceiptComposer::Bold(bool on) {
    bytes_ += Emphasize(on);
}

void ReceiptComposer::Size(int width, int height) {
    if (width < 1 || width > 8 || height < 1 || height > 8)
        throw std::invalid_argument("a size is 1 to 8 times each way");
    bytes_ += CharSize(static_cast<uint8_t>(width), static_cast<uint8_t>(height));
}

void ReceiptComposer::Cut() {
    bytes_ += FeedAndPartialCut();
}

}  // namespace kelvo
