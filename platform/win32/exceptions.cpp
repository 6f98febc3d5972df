#include "platform/win32/exceptions.h"

#include <algorithm>

namespace {

thread_local _se_translator_function translator = nullptr;

}  // namespace

_se_translator_function _set_se_translator(_se_translator_function new_translator) {
  _se_translator_function old = translator;
  translator = new_translator;
  return old;
}

void RaiseException(DWORD code, DWORD flags, DWORD argument_count, const ULONG_PTR* arguments) {
  EXCEPTION_RECORD record{};
  record.ExceptionCode = code;
  record.ExceptionFlags = flags & EXCEPTION_NONCONTINUABLE;
  record.ExceptionAddress = __builtin_return_address(0);
  if (arguments != nullptr) {
    record.NumberParameters = std::min(argument_count, EXCEPTION_MAXIMUM_PARAMETERS);
    std::copy_n(arguments, record.NumberParameters, record.ExceptionInformation);
  }
  RtlRaiseException(&record);
}

void RtlRaiseException(PEXCEPTION_RECORD record) {
  if (translator != nullptr) {
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{record, &context};
    translator(record->ExceptionCode, &pointers);
  }
  throw win32::StructuredException(*record);
}
