#include "serial/ad_component.h"
#include "serial/ad_except.h"
#include "serial/serial_device.h"

#include <cerrno>
#include <gtest/gtest.h>
#include <new>

using namespace AdErr;

namespace {

// The exception carries the code and the code's message text.
template <class E> void ExpectRaises(int code)
{
    try {
        CheckException(nullptr, code);
        FAIL() << "no exception for " << code;
    } catch (const E& e) {
        EXPECT_EQ(e.ErrorCode(), code);
        EXPECT_EQ(e.what(), ErrorMsg(code));
    }
}

} // namespace

// Callers catch a failure by its class.
TEST(ErrorTable, KnownCodesRaiseTheirOwnClass)
{
    ExpectRaises<EFaxBadFormat>(ecFaxBadFormat);
    ExpectRaises<ETimeout>(ecTimeout);
    ExpectRaises<ENoMoreTriggers>(ecNoMoreTriggers);
    ExpectRaises<EOutputBufferTooSmall>(ecOutputBufferTooSmall);
    ExpectRaises<ECommNotOpen>(ecCommNotOpen);
    ExpectRaises<EPortNotAssigned>(ecPortNotAssigned);
    ExpectRaises<EAlreadyMonitored>(ecAlreadyMonitored);
    ExpectRaises<EFaxNoAnswer>(ecFaxNoAnswer);
    ExpectRaises<EBadArgument>(ecBadArgument);
    ExpectRaises<EGotQuitMsg>(ecGotQuitMsg);
    ExpectRaises<EAPDException>(ecTapiCallUnavail);
    ExpectRaises<EInternal>(ecInternal);
    ExpectRaises<ECannotUseWithWinSock>(ecCannotUseWithWinSock);
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

// A device another program holds and one this user may not open are two
// causes with two codes and texts: the box about a port says which.
TEST(ErrorTable, DeviceErrorsKeepHeldApartFromDenied)
{
    EXPECT_EQ(SerialDevice::ErrnoToCode(EACCES), ecAccessDenied);
    EXPECT_EQ(SerialDevice::ErrnoToCode(EPERM), ecAccessDenied);
    EXPECT_EQ(SerialDevice::ErrnoToCode(EBUSY), ecSharingViolation);
    EXPECT_EQ(SerialDevice::ErrnoToCode(EWOULDBLOCK), ecSharingViolation);
    EXPECT_EQ(SerialDevice::ErrnoToCode(ENOENT), ecFileNotFound);
    EXPECT_NE(ErrorMsg(ecAccessDenied), ErrorMsg(ecSharingViolation));
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

// A code without a text still says something; a status without one is
// left out.
TEST(ErrorTable, UnknownCodesHaveAFallback)
{
    EXPECT_FALSE(ErrorMsg(-31337).empty());
    EXPECT_EQ(LibLoadZ(4809), "");
    EXPECT_EQ(LibLoadZ(-31337), "");
}
