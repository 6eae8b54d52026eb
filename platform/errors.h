#pragma once
// The WinSock and Win32 error numbers the system reports and prints. Code
// above platform/ sees these numbers, never an errno; the errno tables that
// produce them are in net.cpp. (Registry result codes live in registry.h.)

namespace platform {

// WinSock errors (WSABASEERR 10000 + n).
inline constexpr int kWsaeIntr = 10004;
inline constexpr int kWsaeBadF = 10009;
inline constexpr int kWsaeAcces = 10013;
inline constexpr int kWsaeFault = 10014;
inline constexpr int kWsaeInval = 10022;
inline constexpr int kWsaeMFile = 10024;
inline constexpr int kWsaeWouldBlock = 10035;
inline constexpr int kWsaeInProgress = 10036;
inline constexpr int kWsaeAlready = 10037;
inline constexpr int kWsaeNotSock = 10038;
inline constexpr int kWsaeDestAddrReq = 10039;
inline constexpr int kWsaeMsgSize = 10040;
inline constexpr int kWsaeProtoType = 10041;
inline constexpr int kWsaeNoProtoOpt = 10042;
inline constexpr int kWsaeProtoNoSupport = 10043;
inline constexpr int kWsaeSocktNoSupport = 10044;
inline constexpr int kWsaeOpNotSupp = 10045;
inline constexpr int kWsaePfNoSupport = 10046;
inline constexpr int kWsaeAfNoSupport = 10047;
inline constexpr int kWsaeAddrInUse = 10048;
inline constexpr int kWsaeAddrNotAvail = 10049;
inline constexpr int kWsaeNetDown = 10050;
inline constexpr int kWsaeNetUnreach = 10051;
inline constexpr int kWsaeNetReset = 10052;
inline constexpr int kWsaeConnAborted = 10053;
inline constexpr int kWsaeConnReset = 10054;
inline constexpr int kWsaeNoBufs = 10055;
inline constexpr int kWsaeIsConn = 10056;
inline constexpr int kWsaeNotConn = 10057;
inline constexpr int kWsaeShutdown = 10058;
inline constexpr int kWsaeTooManyRefs = 10059;
inline constexpr int kWsaeTimedOut = 10060;
inline constexpr int kWsaeConnRefused = 10061;
inline constexpr int kWsaeLoop = 10062;
inline constexpr int kWsaeNameTooLong = 10063;
inline constexpr int kWsaeHostDown = 10064;
inline constexpr int kWsaeHostUnreach = 10065;

// WinSock name-resolution errors.
inline constexpr int kWsaHostNotFound = 11001;
inline constexpr int kWsaTryAgain = 11002;
inline constexpr int kWsaNoRecovery = 11003;
inline constexpr int kWsaNoData = 11004;

// Win32 errors that a fiber-mode transfer completion may carry.
inline constexpr int kErrorHandleEof = 38;
inline constexpr int kErrorNetnameDeleted = 64;

} // namespace platform
