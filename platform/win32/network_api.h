// Network connections (mpr): drive letters for shares of the machine's servers. A connection
// belongs to the account that made it (the thread's impersonated account, else its process's):
// its letter names the share for that account's programs only, as the machine has no logon
// sessions. Connections are kept in the account's registry ("Network\<letter>", value
// RemotePath) and so last as long as the kernel. Errors come back as the result and in the
// last error.
#pragma once

#include <string>

#include "platform/win32/windows_types.h"

struct NETRESOURCEW {
  DWORD dwScope;
  DWORD dwType;
  DWORD dwDisplayType;
  DWORD dwUsage;
  LPWSTR lpLocalName;
  LPWSTR lpRemoteName;
  LPWSTR lpComment;
  LPWSTR lpProvider;
};
using LPNETRESOURCEW = NETRESOURCEW*;

constexpr DWORD RESOURCETYPE_ANY = 0x00000000;
constexpr DWORD RESOURCETYPE_DISK = 0x00000001;
constexpr DWORD CONNECT_UPDATE_PROFILE = 0x00000001;
constexpr DWORD UNIVERSAL_NAME_INFO_LEVEL = 0x00000001;

constexpr DWORD ERROR_ALREADY_ASSIGNED = 85;
constexpr DWORD ERROR_BAD_DEVICE = 1200;
constexpr DWORD ERROR_NOT_CONNECTED = 2250;

struct UNIVERSAL_NAME_INFOW {
  LPWSTR lpUniversalName;
};

// Connects `resource->lpLocalName` ("Z:") to the share `resource->lpRemoteName`
// ("\\srv\pub"), after opening the share's root as the caller: ERROR_BAD_NETPATH (no such
// server), ERROR_BAD_NET_NAME (no such share), ERROR_NETWORK_BUSY (the share answers busy),
// ERROR_ACCESS_DENIED (the share refuses the account), ERROR_ALREADY_ASSIGNED (the letter is
// a drive already), ERROR_BAD_DEVICE (not a drive letter), ERROR_BAD_NET_NAME for a remote
// name that is not "\\server\share". Without a local name the share is only checked. The
// password and user name are ignored: the caller's own account connects.
DWORD WNetAddConnection2W(LPNETRESOURCEW resource, LPCWSTR password, LPCWSTR user_name,
                          DWORD flags);
// Removes the connection of `name` ("Z:"); ERROR_NOT_CONNECTED when there is none.
DWORD WNetCancelConnection2W(LPCWSTR name, DWORD flags, BOOL force);
// The share a network drive names ("\\srv\pub"), NUL-terminated, with *length in characters
// (ERROR_MORE_DATA and the length needed when it does not fit); ERROR_NOT_CONNECTED for a
// letter that is no network drive, ERROR_BAD_DEVICE for a name that is no drive.
DWORD WNetGetConnectionW(LPCWSTR local_name, LPWSTR remote_name, LPDWORD length);
// UNIVERSAL_NAME_INFO_LEVEL only: the record, followed by "\\srv\pub\rest" for
// "Z:\rest", in `buffer` of *size bytes (ERROR_MORE_DATA with the bytes needed);
// ERROR_NOT_CONNECTED for a path on no network drive, ERROR_INVALID_LEVEL for other levels.
DWORD WNetGetUniversalNameW(LPCWSTR local_path, DWORD info_level, LPVOID buffer, LPDWORD size);


namespace win32 {

// The redirector name behind the calling account's network drive `letter`
// ("\Device\LanmanRedirector\;Z:0000\srv\pub"), or empty when the letter is no network drive.
std::u16string NetworkDriveTarget(WCHAR letter);

}  // namespace win32
