// Everything of the machine's user mode that system code calls, in one include.
#pragma once

#include "platform/win32/delay_load.h"
#include "platform/win32/exceptions.h"
#include "platform/win32/file_api.h"
#include "platform/win32/module.h"
#include "platform/win32/named_pipe.h"
#include "platform/win32/process_api.h"
#include "platform/win32/process_local.h"
#include "platform/win32/registry_api.h"
#include "platform/win32/security_api.h"
#include "platform/win32/strings_api.h"
#include "platform/win32/synch.h"
#include "platform/win32/system_info.h"
#include "platform/win32/win_error.h"
#include "platform/win32/windows_types.h"
