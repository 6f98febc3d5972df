// Subject and client security contexts and impersonation. A thread acts with its process's
// primary token unless it impersonates. A context holds referenced tokens of the thread it was
// captured from; impersonating a client context makes the current thread act with its token
// until it reverts. Tokens are kernel objects: PsDereferencePrimaryToken,
// PsDereferenceImpersonationToken and ObDereferenceObject all release them.
#pragma once

#include "platform/nt/nt_types.h"

struct ACCESS_TOKEN;
using PACCESS_TOKEN = ACCESS_TOKEN*;
struct KTHREAD;
using PETHREAD = KTHREAD*;

enum SECURITY_IMPERSONATION_LEVEL {
  SecurityAnonymous = 0,
  SecurityIdentification = 1,
  SecurityImpersonation = 2,
  SecurityDelegation = 3,
};

enum TOKEN_TYPE { TokenPrimary = 1, TokenImpersonation = 2 };

constexpr BOOLEAN SECURITY_STATIC_TRACKING = FALSE;
constexpr BOOLEAN SECURITY_DYNAMIC_TRACKING = TRUE;

struct SECURITY_QUALITY_OF_SERVICE {
  ULONG Length;
  SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
  BOOLEAN ContextTrackingMode;
  BOOLEAN EffectiveOnly;
};
using PSECURITY_QUALITY_OF_SERVICE = SECURITY_QUALITY_OF_SERVICE*;

struct SECURITY_CLIENT_CONTEXT {
  SECURITY_QUALITY_OF_SERVICE SecurityQos;
  PACCESS_TOKEN ClientToken;
  BOOLEAN DirectlyAccessClientToken;
  BOOLEAN DirectAccessEffectiveOnly;
  BOOLEAN ServerIsRemote;
  TOKEN_TYPE TokenType;
};
using PSECURITY_CLIENT_CONTEXT = SECURITY_CLIENT_CONTEXT*;

// The calling thread's object. Other threads may use it only while the thread lives.
PETHREAD PsGetCurrentThread();

// The tokens a thread acts with, captured for an access check: the impersonation token (or
// null) and the primary token, both referenced until SeReleaseSubjectContext.
struct SECURITY_SUBJECT_CONTEXT {
  PACCESS_TOKEN ClientToken;
  SECURITY_IMPERSONATION_LEVEL ImpersonationLevel;
  PACCESS_TOKEN PrimaryToken;
  PVOID ProcessAuditId;
};
using PSECURITY_SUBJECT_CONTEXT = SECURITY_SUBJECT_CONTEXT*;

void SeCaptureSubjectContext(PSECURITY_SUBJECT_CONTEXT context);
void SeReleaseSubjectContext(PSECURITY_SUBJECT_CONTEXT context);

using PSECURITY_DESCRIPTOR = PVOID;
using SECURITY_INFORMATION = ULONG;

// What an open asks for and who asks: the I/O manager hands it to the file system with a
// create request.
struct ACCESS_STATE {
  ULONG Flags;
  ACCESS_MASK RemainingDesiredAccess;
  ACCESS_MASK PreviouslyGrantedAccess;
  ACCESS_MASK OriginalDesiredAccess;
  SECURITY_SUBJECT_CONTEXT SubjectSecurityContext;
  PSECURITY_DESCRIPTOR SecurityDescriptor;
};
using PACCESS_STATE = ACCESS_STATE*;

// Captures the client thread's effective token (its impersonation token, else its process's).
// The context holds a reference to the token, which its owner drops when done with it
// (PsDereferencePrimaryToken or PsDereferenceImpersonationToken, as TokenType says).
// Returns STATUS_INVALID_PARAMETER for a null thread, quality of service or context.
NTSTATUS SeCreateClientSecurity(PETHREAD client_thread, PSECURITY_QUALITY_OF_SERVICE qos,
                                BOOLEAN remote_session, PSECURITY_CLIENT_CONTEXT context);
// Makes the thread impersonate the context's token, with a reference of its own, until it
// reverts or impersonates another. With a null thread, the current thread impersonates.
NTSTATUS SeImpersonateClientEx(PSECURITY_CLIENT_CONTEXT context, PETHREAD server_thread);
// Ends the current thread's impersonation, if any.
void PsRevertToSelf();
// Drop a reference; the token goes with the last one.
void PsDereferencePrimaryToken(PACCESS_TOKEN token);
void PsDereferenceImpersonationToken(PACCESS_TOKEN token);
// The token `thread` impersonates, referenced, or null when it does not impersonate.
PACCESS_TOKEN PsReferenceImpersonationToken(PETHREAD thread, BOOLEAN* copy_on_open,
                                            BOOLEAN* effective_only,
                                            SECURITY_IMPERSONATION_LEVEL* level);

namespace nt {

// The machine's controls over accounts and tokens.
class TokenControl {
 public:
  // A new primary token for `account`, with one reference held by the caller. Give it to a
  // process with nt::ProcessControl::Create.
  static PACCESS_TOKEN CreateToken(const char16_t* account);
  // Makes the current thread act with `token` instead of its process's token when it does not
  // impersonate; the thread takes a reference. For tests of a thread that acts for an account
  // without a process of its own.
  static void SetThreadPrimaryToken(PACCESS_TOKEN token);
  static const char16_t* AccountOf(PACCESS_TOKEN token);
  static LONG ReferenceCount(PACCESS_TOKEN token);
};

}  // namespace nt
