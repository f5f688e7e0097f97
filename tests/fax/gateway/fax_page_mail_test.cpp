#include <gtest/gtest.h>

#include <filesystem>

#include "fax/ad_fax_cvt.h"
#include "fax/fax_page_mail.h"
#include "fax/fax_test_helpers.h"
#include "fax/gateway/gateway_helpers.h"

using namespace FaxGatewayTest;
namespace fs = std::filesystem;

// The pages of a fax reach a mail reader as they were sent: as bitmaps, as
// PNG pictures when bitmaps would pass the size limit, or not at all (with
// a word where the fax is) when even those would.
TEST(FaxPageMail, PagesReadBackByPythonAsSentWithinTheSizeLimit)
{
    FaxTest::TScratch dir;
    const std::vector<std::string> pages{FaxTest::MakePbm(200, 1), FaxTest::MakePbm(300, 2)};
    FaxTest::MakeApf(dir.Path("fax.apf"), pages, {true, true});
    fs::create_directory(dir.Path("work"));
    TApdFaxUnpacker unpacker;
    FaxPageMail::THead head{"\"Fax Gateway\" <>",
                            "Received Fax (12:00:00)",
                            "bob@HOME",
                            {"Message Forwarded From FAX Gateway"}};

    auto compose = [&](int64_t limit, FaxPageMail::TPageForm want) {
        FaxPageMail::TPageForm form;
        const std::string mail =
            FaxPageMail::Compose(unpacker, dir.Path("fax.apf"), dir.Path("work/"), head, limit,
                                 "MAIL/Fax2/FAX00001.APF", form);
        EXPECT_EQ(form, want);
        EXPECT_TRUE(limit <= 0 || int64_t(mail.size()) <= limit);
        FaxTest::WriteFile(dir.Path("mail.msg"), mail);
        fs::remove_all(dir.Path("out"));
        fs::create_directory(dir.Path("out"));
        return mail;
    };
    auto read = [&] { return Oracle({"read", dir.Path("mail.msg"), dir.Path("out")}); };

    const std::string bmpMail = compose(0, FaxPageMail::TPageForm::Bmp);
    std::string got = read();
    EXPECT_EQ(Lines(got, "subject"), std::vector<std::string>{"Received Fax (12:00:00)"});
    EXPECT_EQ(Lines(got, "to"), std::vector<std::string>{"bob@HOME"});
    EXPECT_EQ(Lines(got, "defects"), std::vector<std::string>{"0"});
    EXPECT_EQ(Lines(got, "text"), std::vector<std::string>{"Message Forwarded From FAX Gateway"});
    EXPECT_EQ(Lines(got, "page"), (std::vector<std::string>{"Page1.BMP image/bmp 1728 200",
                                                            "Page2.BMP image/bmp 1728 300"}));
    for (int n = 1; n <= 2; ++n)
        EXPECT_TRUE(FaxTest::SamePage(
            pages[n - 1], FaxTest::ReadFile(dir.Path("out/Page" + std::to_string(n) + ".BMP.pbm"))))
            << n;

    compose(int64_t(bmpMail.size()) - 1, FaxPageMail::TPageForm::Png);
    got = read();
    EXPECT_EQ(Lines(got, "page"), (std::vector<std::string>{"Page1.PNG image/png 1728 200",
                                                            "Page2.PNG image/png 1728 300"}));
    for (int n = 1; n <= 2; ++n)
        EXPECT_TRUE(FaxTest::SamePage(
            pages[n - 1], FaxTest::ReadFile(dir.Path("out/Page" + std::to_string(n) + ".PNG.pbm"))))
            << n;

    compose(2000, FaxPageMail::TPageForm::None);
    got = read();
    EXPECT_TRUE(Lines(got, "page").empty());
    const auto text = Lines(got, "text");
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back().find("the fax is kept as MAIL/Fax2/FAX00001.APF"), std::string::npos)
        << got;
    EXPECT_TRUE(fs::is_empty(dir.Path("work")) ||
                std::all_of(fs::directory_iterator(dir.Path("work")), fs::directory_iterator(),
                            [](const auto& e) { return e.path().extension() != ".tmp"; }));
}
