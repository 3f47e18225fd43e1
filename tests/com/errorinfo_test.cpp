// Error information: one slot per thread, handed over once, and the text of
// system errors as HRESULTs.
#include <gtest/gtest.h>

#include <cerrno>
#include <thread>

#include "qoro/com.h"

namespace {

using qoro::com::Bstr;

TEST(ErrorInfo, TravelsOncePerThread) {
    EXPECT_EQ(qoro::com::reportError(E_ACCESSDENIED, IID_IDispatch, "Qoro.Test", "cannot write: Permission denied"),
              E_ACCESSDENIED);
    // Another thread has a slot of its own, empty.
    std::string elsewhere = "unset";
    std::thread([&] { elsewhere = qoro::com::takeErrorDescription(); }).join();
    EXPECT_EQ(elsewhere, "");

    IErrorInfo* info = nullptr;
    ASSERT_EQ(GetErrorInfo(0, &info), S_OK);
    ASSERT_NE(info, nullptr);
    Bstr text;
    ASSERT_EQ(info->GetDescription(text.put()), S_OK);
    EXPECT_EQ(text.utf8(), "cannot write: Permission denied");
    ASSERT_EQ(info->GetSource(text.put()), S_OK);
    EXPECT_EQ(text.utf8(), "Qoro.Test");
    GUID iid{};
    info->GetGUID(&iid);
    EXPECT_EQ(iid, IID_IDispatch);
    info->Release();

    // Taken: the slot is empty now.
    EXPECT_EQ(GetErrorInfo(0, &info), S_FALSE);
    EXPECT_EQ(info, nullptr);

    // Set and cleared by hand.
    ICreateErrorInfo* create = nullptr;
    ASSERT_EQ(CreateErrorInfo(&create), S_OK);
    IErrorInfo* made = nullptr;
    ASSERT_EQ(create->QueryInterface(IID_IErrorInfo, reinterpret_cast<void**>(&made)), S_OK);
    create->Release();
    EXPECT_EQ(SetErrorInfo(0, made), S_OK);
    made->Release();
    EXPECT_EQ(SetErrorInfo(0, nullptr), S_OK);
    EXPECT_EQ(qoro::com::takeErrorDescription(), "");
}

TEST(ErrorInfo, SystemErrorsMapToTheirHresults) {
    EXPECT_EQ(qoro::com::hresultFromErrno(ENOSPC), HRESULT_DISK_FULL);
    EXPECT_EQ(qoro::com::hresultFromErrno(EACCES), E_ACCESSDENIED);
    EXPECT_EQ(qoro::com::hresultFromErrno(ENOENT), HRESULT_FILE_NOT_FOUND);
    EXPECT_EQ(qoro::com::hresultFromErrno(ENOTDIR), HRESULT_PATH_NOT_FOUND);
    EXPECT_EQ(qoro::com::hresultFromErrno(EXDEV), E_FAIL);
    EXPECT_TRUE(FAILED(qoro::com::hresultFromErrno(0)));
}

}  // namespace
