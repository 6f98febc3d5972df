// Access tokens of the machine: kernel objects naming the account a thread acts for. Internal
// to the kernel model; driver code sees only PACCESS_TOKEN and releases tokens with
// PsDereferencePrimaryToken, PsDereferenceImpersonationToken or ObDereferenceObject.
#pragma once

#include <string>

#include "platform/nt/nt_types.h"
#include "platform/nt/security.h"

// The body of a token object. Tokens do not change once made.
struct ACCESS_TOKEN {
  std::u16string account;
};

namespace nt {

// The machine-wide token of the SYSTEM account. The machine holds a reference of its own, so
// it is never freed.
PACCESS_TOKEN SystemToken();

void ReferenceToken(PACCESS_TOKEN token);
// Frees the token when the last reference goes.
void DereferenceToken(PACCESS_TOKEN token);

}  // namespace nt
