// Names of the files, kernel objects and classes through which the deliverables find each other
// (the control device's names are in protocol.h, the registry's in registry_names.h).
#pragma once

// The driver's table file and its backup, in the system root folder of the system volume.
inline constexpr char16_t kKvTableFileName[] = u"kvdata.dat";
inline constexpr char16_t kKvTableBackupFileName[] = u"kvdata.da0";

// The agent's pipe, which carries 12-byte message records from the synchronization engine.
inline constexpr char16_t kKvAgentPipeName[] = u"\\\\.\\pipe\\kvagent1";
// The semaphore that keeps the agent to one instance.
inline constexpr char16_t kKvAgentSemaphoreName[] = u"_kvagent_sem";
// Class and title of the agent's hidden window; the shell extension finds it by both to close it.
inline constexpr char16_t kKvAgentWindowClass[] = u"kvagent_0b2e8d4a73";
inline constexpr char16_t kKvAgentWindowTitle[] = u"Korvane";

// The shell extension's COM class id, as registry text.
inline constexpr char16_t kKvShellClassId[] = u"{7D41A2C6-3E95-4B80-9F16-5C0B2E8D4A73}";
