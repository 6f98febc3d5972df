// For the tests of user mode: a fresh machine kernel and simulated processes acting for
// accounts.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/nt/machine_kernel.h"
#include "platform/nt/objects.h"
#include "platform/nt/process.h"
#include "platform/nt/token.h"

class Win32Machine : public ::testing::Test {
 protected:
  ~Win32Machine() override {
    for (PEPROCESS process : processes_) ObDereferenceObject(process);
  }

  // A new process named `name` acting for `account`.
  PEPROCESS NewProcess(const char16_t* name, const char16_t* account) {
    PACCESS_TOKEN token = nt::TokenControl::CreateToken(account);
    PEPROCESS process = nt::ProcessControl::Create(name, token);
    ObDereferenceObject(token);
    processes_.push_back(process);
    return process;
  }

  static void RunIn(PEPROCESS process, std::function<void()> body) {
    nt::ProcessControl::RunIn(process, std::move(body));
  }

  nt::Kernel kernel_;
  std::vector<PEPROCESS> processes_;
};
