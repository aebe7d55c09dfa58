// The web page's refusals: no path reaches a file outside a printer's jobs folder, and beyond
// loopback no change is made without the printer's token.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "printer/Faults.h"
#include "printer/PrinterBox.h"
#include "testing/Http.h"
#include "testing/TempDir.h"
#include "testing/TestHost.h"
#include "web/WebServer.h"

namespace fs = std::filesystem;
using kelvo::printer::PrinterBox;
using kelvo::web::WebServer;

namespace {

constexpr char kSecret[] = "not for the page";

void Write(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct Served {
    explicit Served(const std::string& host) {
        PrinterBox::Options options;
        options.tcp.host = kelvo::testing::OwnLoopbackHost();
        options.tcp.port = 0;
        options.serial = false;
        box = std::make_unique<PrinterBox>(options);
        const fs::path root = dir.path();
        fs::create_directory(root / "jobs");
        Write(root / "secret", kSecret);
        for (const char* suffix : {".json", ".txt", ".png", ".bin"})
            Write(root / "jobs" / (std::string("job-0001") + suffix), "{}");
        // A job whose picture is a link out of the folder.
        for (const char* suffix : {".json", ".txt", ".bin"})
            Write(root / "jobs" / (std::string("job-0002") + suffix), "{}");
        fs::create_symlink(root / "secret", root / "jobs" / "job-0002.png");
        web = std::make_unique<WebServer>(
            WebServer::Options{host, 0},
            std::vector<kelvo::web::WebPrinter>{{"network", root / "jobs", box.get()}},
            [this](const std::string& line) {
                return kelvo::printer::ControlRequest(
                    line, [this](const std::string&, const kelvo::printer::FaultAction& a) {
                        box->Apply(a);
                        return true;
                    });
            });
        port = static_cast<uint16_t>(std::stoi(web->Url().substr(web->Url().rfind(':') + 1)));
    }
    // The path goes as written, encoded forms and all.
    kelvo::testing::HttpAnswer Ask(const std::string& method, const std::string& path,
                                   const std::vector<std::string>& headers = {},
                                   const std::string& body = {}) {
        return kelvo::testing::Http("127.0.0.1", port, method, path, headers, body);
    }
    bool PaperOut() {
        return box->With(0, [](kelvo::printer::VirtualPrinter& p) { return p.Flags().paperOut; });
    }
    kelvo::testing::TempDir dir;
    std::unique_ptr<PrinterBox> box;
    std::unique_ptr<WebServer> web;
    uint16_t port = 0;
};

}  // namespace

TEST(WebPage, NoPathReachesAFileOutsideTheJobsFolder) {
    Served served("127.0.0.1");
    ASSERT_EQ(served.Ask("GET", "/api/jobs/1/files/png").status, 200);  // the way in works
    for (const char* path :
         {"/../secret", "/%2e%2e/secret", "/%2E%2E%2Fsecret", "/api/jobs/1/files/..%2f..%2fsecret",
          "/api/jobs/1/files/../../../secret", "/api/jobs/1/files/%2e%2e%2f%2e%2e%2fsecret",
          "/api/jobs/..%2f..%2fsecret/files/png", "/api/jobs/1/files/png%00/../../secret",
          "/api/jobs/2/files/png"}) {
        const kelvo::testing::HttpAnswer answer = served.Ask("GET", path);
        EXPECT_GE(answer.status, 400) << path;
        EXPECT_EQ(answer.body.find(kSecret), std::string::npos) << path;
    }
}

TEST(WebPage, BeyondLoopbackAChangeNeedsTheToken) {
    Served served("0.0.0.0");  // reached here through loopback only
    const std::string set = "/api/printers/network/set", clear = "/api/printers/network/clear";
    for (const std::vector<std::string>& headers : {std::vector<std::string>{},
                                                    {"Authorization: Bearer wrong"},
                                                    {"Authorization: " + served.web->Token()}}) {
        EXPECT_EQ(served.Ask("POST", set, headers, "paper-out on").status, 403);
        EXPECT_EQ(served.Ask("POST", clear, headers).status, 403);
    }
    EXPECT_FALSE(served.PaperOut());
    EXPECT_TRUE(fs::exists(fs::path(served.dir.path()) / "jobs" / "job-0001.json"));
    EXPECT_EQ(
        served.Ask("POST", set, {"Authorization: Bearer " + served.web->Token()}, "paper-out on")
            .status,
        200);
    EXPECT_TRUE(served.PaperOut());
}

TEST(WebPage, OnLoopbackOtherSitesAreRefused) {
    Served served("127.0.0.1");
    // A name of another site's that points here, and a change sent from another site's page.
    EXPECT_EQ(served.Ask("GET", "/api/printers", {"Host: shop.example:80"}).status, 421);
    EXPECT_EQ(served
                  .Ask("POST", "/api/printers/network/set", {"Origin: http://shop.example"},
                       "paper-out on")
                  .status,
              403);
    EXPECT_FALSE(served.PaperOut());
}
