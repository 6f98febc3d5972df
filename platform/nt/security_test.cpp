#include "platform/nt/security.h"

#include <gtest/gtest.h>

#include <future>
#include <string>
#include <thread>

#include "platform/nt/ntstatus.h"

namespace {

using nt::TokenControl;

constexpr SECURITY_QUALITY_OF_SERVICE kQos{sizeof(SECURITY_QUALITY_OF_SERVICE),
                                           SecurityImpersonation, SECURITY_DYNAMIC_TRACKING,
                                           FALSE};

std::u16string Account(PACCESS_TOKEN token) { return TokenControl::AccountOf(token); }

void DeleteContext(SECURITY_CLIENT_CONTEXT& context) {
  if (context.TokenType == TokenPrimary) {
    PsDereferencePrimaryToken(context.ClientToken);
  } else {
    PsDereferenceImpersonationToken(context.ClientToken);
  }
}

// The account the current thread acts as, seen through a captured context.
std::u16string EffectiveAccount(TOKEN_TYPE* type = nullptr) {
  SECURITY_QUALITY_OF_SERVICE qos = kQos;
  SECURITY_CLIENT_CONTEXT context;
  EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, &context), STATUS_SUCCESS);
  std::u16string account = Account(context.ClientToken);
  if (type != nullptr) *type = context.TokenType;
  DeleteContext(context);
  return account;
}

// A client context captured on a thread of its own whose primary token is `token`.
SECURITY_CLIENT_CONTEXT CaptureAs(PACCESS_TOKEN token) {
  SECURITY_CLIENT_CONTEXT context{};
  std::thread([&] {
    TokenControl::SetThreadPrimaryToken(token);
    SECURITY_QUALITY_OF_SERVICE qos = kQos;
    EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, TRUE, &context),
              STATUS_SUCCESS);
  }).join();
  return context;
}

TEST(Security, ThreadsActAsSystemUntilGivenAnotherPrimaryToken) {
  PACCESS_TOKEN alice = TokenControl::CreateToken(u"alice");
  std::thread([alice] {
    TOKEN_TYPE type = TokenImpersonation;
    EXPECT_EQ(EffectiveAccount(&type), u"SYSTEM");
    EXPECT_EQ(type, TokenPrimary);
    TokenControl::SetThreadPrimaryToken(alice);
    EXPECT_EQ(EffectiveAccount(), u"alice");
  }).join();
  EXPECT_EQ(EffectiveAccount(), u"SYSTEM");
  PsDereferencePrimaryToken(alice);
}

TEST(Security, AContextCapturedOnOneThreadIsImpersonatedOnAnother) {
  PACCESS_TOKEN alice = TokenControl::CreateToken(u"alice");
  SECURITY_CLIENT_CONTEXT context = CaptureAs(alice);
  EXPECT_EQ(Account(context.ClientToken), u"alice");
  EXPECT_EQ(context.TokenType, TokenPrimary);
  EXPECT_TRUE(context.ServerIsRemote);
  EXPECT_TRUE(context.DirectlyAccessClientToken);

  std::thread([&context] {
    EXPECT_EQ(PsReferenceImpersonationToken(PsGetCurrentThread(), nullptr, nullptr, nullptr),
              nullptr);
    ASSERT_EQ(SeImpersonateClientEx(&context, nullptr), STATUS_SUCCESS);
    BOOLEAN copy_on_open = TRUE;
    BOOLEAN effective_only = TRUE;
    SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
    PACCESS_TOKEN token = PsReferenceImpersonationToken(PsGetCurrentThread(), &copy_on_open,
                                                        &effective_only, &level);
    ASSERT_NE(token, nullptr);
    EXPECT_EQ(Account(token), u"alice");
    EXPECT_EQ(level, SecurityImpersonation);
    EXPECT_FALSE(effective_only);
    PsDereferenceImpersonationToken(token);

    TOKEN_TYPE type = TokenPrimary;
    EXPECT_EQ(EffectiveAccount(&type), u"alice");
    EXPECT_EQ(type, TokenImpersonation);

    PsRevertToSelf();
    EXPECT_EQ(PsReferenceImpersonationToken(PsGetCurrentThread(), nullptr, nullptr, nullptr),
              nullptr);
    EXPECT_EQ(EffectiveAccount(), u"SYSTEM");
  }).join();

  DeleteContext(context);
  PsDereferencePrimaryToken(alice);
}

TEST(Security, AServerMakesAnotherThreadImpersonate) {
  PACCESS_TOKEN bob = TokenControl::CreateToken(u"bob");
  SECURITY_CLIENT_CONTEXT context = CaptureAs(bob);
  std::promise<PETHREAD> worker_thread;
  std::promise<void> impersonated;
  std::thread worker([&] {
    worker_thread.set_value(PsGetCurrentThread());
    impersonated.get_future().wait();
    EXPECT_EQ(EffectiveAccount(), u"bob");
    PsRevertToSelf();
  });
  EXPECT_EQ(SeImpersonateClientEx(&context, worker_thread.get_future().get()), STATUS_SUCCESS);
  impersonated.set_value();
  worker.join();
  EXPECT_EQ(EffectiveAccount(), u"SYSTEM");
  DeleteContext(context);
  PsDereferencePrimaryToken(bob);
}

TEST(Security, EveryHolderOfATokenHoldsAReference) {
  PACCESS_TOKEN carol = TokenControl::CreateToken(u"carol");
  EXPECT_EQ(TokenControl::ReferenceCount(carol), 1);
  SECURITY_CLIENT_CONTEXT context = CaptureAs(carol);  // the capturing thread has ended
  EXPECT_EQ(TokenControl::ReferenceCount(carol), 2);

  ASSERT_EQ(SeImpersonateClientEx(&context, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(TokenControl::ReferenceCount(carol), 3);
  PACCESS_TOKEN token = PsReferenceImpersonationToken(PsGetCurrentThread(), nullptr, nullptr,
                                                      nullptr);
  EXPECT_EQ(TokenControl::ReferenceCount(carol), 4);
  PsDereferenceImpersonationToken(token);
  ASSERT_EQ(SeImpersonateClientEx(&context, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(TokenControl::ReferenceCount(carol), 3);
  PsRevertToSelf();
  EXPECT_EQ(TokenControl::ReferenceCount(carol), 2);
  DeleteContext(context);
  EXPECT_EQ(TokenControl::ReferenceCount(carol), 1);
  PsDereferencePrimaryToken(carol);
}

TEST(Security, CapturingWithoutAContextOrQualityOfServiceIsRefused) {
  SECURITY_QUALITY_OF_SERVICE qos = kQos;
  SECURITY_CLIENT_CONTEXT context;
  EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), nullptr, FALSE, &context),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SeCreateClientSecurity(PsGetCurrentThread(), &qos, FALSE, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SeCreateClientSecurity(nullptr, &qos, FALSE, &context), STATUS_INVALID_PARAMETER);
}

}  // namespace
