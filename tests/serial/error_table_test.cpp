#include "serial/ad_component.h"
#include "serial/ad_except.h"

#include <gtest/gtest.h>
#include <new>

using namespace AdErr;

namespace {

template <class E> void ExpectRaises(int code, const char* text)
{
    try {
        CheckException(nullptr, code);
        FAIL() << "no exception for " << code;
    } catch (const E& e) {
        EXPECT_EQ(e.ErrorCode(), code);
        EXPECT_STREQ(e.what(), text);
    }
}

} // namespace

TEST(ErrorTable, KnownCodesRaiseTheirOwnClassWithTheirText)
{
    ExpectRaises<EFaxBadFormat>(ecFaxBadFormat, "File is not an APF file");
    ExpectRaises<ETimeout>(ecTimeout, "Fatal time out");
    ExpectRaises<ENoMoreTriggers>(ecNoMoreTriggers, "No more trigger slots");
    ExpectRaises<EOutputBufferTooSmall>(ecOutputBufferTooSmall,
                                        "Output buffer too small for block");
    ExpectRaises<ECommNotOpen>(ecCommNotOpen, "Comm port not open");
    ExpectRaises<EPortNotAssigned>(ecPortNotAssigned, "ComPort component not assigned");
    ExpectRaises<EAlreadyMonitored>(ecAlreadyMonitored, "Fax port is already being monitored");
    ExpectRaises<EFaxNoAnswer>(ecFaxNoAnswer, "Remote fax did not answer");
    // Every one of them is an EAPDException.
    EXPECT_THROW(CheckException(nullptr, ecBadArgument), EBadArgument);
    EXPECT_THROW(CheckException(nullptr, ecGotQuitMsg), EGotQuitMsg);
    EXPECT_THROW(CheckException(nullptr, ecTapiCallUnavail), EAPDException);
    EXPECT_THROW(CheckException(nullptr, ecInternal), EInternal);
    EXPECT_THROW(CheckException(nullptr, ecCannotUseWithWinSock), ECannotUseWithWinSock);
}

TEST(ErrorTable, SystemCodesAndOutOfMemoryAndUnknownCodes)
{
    EXPECT_THROW(CheckException(nullptr, ecOutOfMemory), std::bad_alloc);
    for (int code : {-1, -2, -5, -100, -161}) {
        try {
            CheckException(nullptr, code);
            FAIL() << code;
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode(), -code);
        }
    }
    try {
        CheckException(nullptr, -4242);
        FAIL();
    } catch (const EAPDException& e) {
        EXPECT_EQ(typeid(e), typeid(EAPDException));
        EXPECT_EQ(e.ErrorCode(), -4242);
        EXPECT_FALSE(std::string(e.what()).empty());
    }
    // Beyond the system range even a small-looking code stays the library's.
    EXPECT_THROW(CheckException(nullptr, -162), EAPDException);
}

TEST(ErrorTable, NonNegativeCodesAndLoadingComponentsRaiseNothing)
{
    EXPECT_EQ(CheckException(nullptr, 0), 0);
    EXPECT_EQ(CheckException(nullptr, 17), 17);
    TApdBaseComponent loading;
    loading.SetLoading(true);
    EXPECT_EQ(CheckException(&loading, ecFaxBadFormat), ecFaxBadFormat);
    loading.SetLoading(false);
    EXPECT_THROW(CheckException(&loading, ecFaxBadFormat), EFaxBadFormat);
}

TEST(ErrorTable, MessageTexts)
{
    EXPECT_EQ(ErrorMsg(ecFaxBusy), "Called fax number was busy");
    EXPECT_EQ(ErrorMsg(ecCancelRequested), "Cancel requested");
    EXPECT_EQ(ErrorMsg(ecFaxInitError), "Error while initializing modem");
    EXPECT_FALSE(ErrorMsg(-31337).empty());
    EXPECT_EQ(LibLoadZ(4801), "Initializing modem for fax processing");
    EXPECT_EQ(LibLoadZ(4803), "Busy, waiting until redial...");
    EXPECT_EQ(LibLoadZ(4843), "Finished");
    EXPECT_EQ(LibLoadZ(4809), "");
    EXPECT_EQ(LibLoadZ(-31337), "");
}
