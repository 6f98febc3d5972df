// Registry keys and value names the deliverables share. The programs' settings live under
// HKEY_LOCAL_MACHINE\Software\Ostrant\Korvane; the driver reads one value from the "Parameters"
// subkey of its own service key.
#pragma once

// Key of the programs' settings, under HKEY_LOCAL_MACHINE.
inline constexpr char16_t kKvRegistryKey[] = u"Software\\Ostrant\\Korvane";

// REG_SZ: the installation folder (language files, help, scheduler library, logs).
inline constexpr char16_t kKvValueInstallPath[] = u"InstallPath";
// REG_SZ: the language file's name inside InstallPath\lang.
inline constexpr char16_t kKvValueLangFile[] = u"LangFile";
// REG_DWORD: copy security descriptors to a newly added mirror; on when absent.
inline constexpr char16_t kKvValueInitCopyAcls[] = u"InitCopyACLs";
// REG_SZ "?:\,?:\": the mirrored system drive (system root, mirror root).
inline constexpr char16_t kKvValueSysMirror[] = u"SysMirror";
// REG_DWORD: real-time mirrors stay out of the start-up synchronization when nonzero.
inline constexpr char16_t kKvValueNoDefaultStartupSync[] = u"NoDefaultStartupSync";
// REG_SZ: folder of the logs; InstallPath\Log when absent.
inline constexpr char16_t kKvValueLogFilePath[] = u"LogFilePath";
// REG_SZ: the synchronization hot key, modifier words and a key, for example CTRL+ALT+S.
inline constexpr char16_t kKvValueSyncHotKey[] = u"SyncHotKey";
// REG_DWORD: seconds the shutdown synchronization dialog waits, at most 12; 7 when absent.
inline constexpr char16_t kKvValueShutdownSyncDlgTime[] = u"ShutdownSyncDlgTime";
// REG_DWORD 1, 2 or 3: the last choice in the shutdown synchronization dialog; 2 when absent.
inline constexpr char16_t kKvValueLastSyncShutdownOpt[] = u"LastSyncShutdownOpt";

// Subkey of the driver's service key, and its REG_DWORD value: configuration is restricted to
// administrators when nonzero.
inline constexpr char16_t kKvDriverParametersKey[] = u"Parameters";
inline constexpr char16_t kKvValueAdminOnly[] = u"AdminOnly";
