// Structured exceptions of user mode: RaiseException and the per-thread translator that the
// runtime's _set_se_translator installs.
//
// A raised exception goes to the calling thread's translator, which may throw a language
// exception in its place (the framework's WSException). Without a translator, or when the
// translator returns, it continues as a win32::StructuredException, which catch (...) catches
// as a handler of the platform would.
//
// Hardware faults (a null dereference, an integer division by zero) do not reach the
// translator on this machine: the model runs as ordinary host code, where such a fault is a
// defect of the host program that the sanitizers must report at its place, and a language
// exception cannot be thrown out of a signal handler. Code that models a fault raises it with
// RtlRaiseException and the record the processor would have produced.
#pragma once

#include <exception>

#include "platform/win32/windows_types.h"

constexpr DWORD EXCEPTION_NONCONTINUABLE = 0x1;
constexpr DWORD EXCEPTION_MAXIMUM_PARAMETERS = 15;

constexpr DWORD EXCEPTION_ACCESS_VIOLATION = 0xC0000005;
constexpr DWORD EXCEPTION_DATATYPE_MISALIGNMENT = 0x80000002;
constexpr DWORD EXCEPTION_BREAKPOINT = 0x80000003;
constexpr DWORD EXCEPTION_SINGLE_STEP = 0x80000004;
constexpr DWORD EXCEPTION_ARRAY_BOUNDS_EXCEEDED = 0xC000008C;
constexpr DWORD EXCEPTION_INT_DIVIDE_BY_ZERO = 0xC0000094;
constexpr DWORD EXCEPTION_INT_OVERFLOW = 0xC0000095;
constexpr DWORD EXCEPTION_STACK_OVERFLOW = 0xC00000FD;

struct EXCEPTION_RECORD {
  DWORD ExceptionCode;
  DWORD ExceptionFlags;
  EXCEPTION_RECORD* ExceptionRecord;
  PVOID ExceptionAddress;
  DWORD NumberParameters;
  ULONG_PTR ExceptionInformation[EXCEPTION_MAXIMUM_PARAMETERS];
};
using PEXCEPTION_RECORD = EXCEPTION_RECORD*;

// The processor state at the exception; the machine records none.
struct CONTEXT {
  DWORD ContextFlags;
};
using PCONTEXT = CONTEXT*;

struct EXCEPTION_POINTERS {
  PEXCEPTION_RECORD ExceptionRecord;
  PCONTEXT ContextRecord;
};
using PEXCEPTION_POINTERS = EXCEPTION_POINTERS*;

using _se_translator_function = void (*)(unsigned int code, EXCEPTION_POINTERS* pointers);

// Installs the calling thread's translator and returns the one it replaces (null at first).
_se_translator_function _set_se_translator(_se_translator_function translator);

// Raises the exception `code` at the caller's address with up to EXCEPTION_MAXIMUM_PARAMETERS
// arguments (more are cut, as the platform does).
[[noreturn]] void RaiseException(DWORD code, DWORD flags, DWORD argument_count,
                                 const ULONG_PTR* arguments);
// Raises the exception the record describes, with its own address.
[[noreturn]] void RtlRaiseException(PEXCEPTION_RECORD record);

namespace win32 {

// A structured exception that no translator turned into another exception.
class StructuredException : public std::exception {
 public:
  explicit StructuredException(const EXCEPTION_RECORD& record) : record_(record) {}
  const char* what() const noexcept override { return "structured exception"; }
  const EXCEPTION_RECORD& record() const { return record_; }

 private:
  EXCEPTION_RECORD record_;
};

}  // namespace win32
