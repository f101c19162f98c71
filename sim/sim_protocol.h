// Wire texts, ports and limits of the indicator simulator, kept in one place so that the
// simulator and its tests build their datagrams and requests from the same constants. The
// simulator shares no code with Tarovue's own SSDP and HTTP layers on purpose.
#pragma once

#include <cstddef>
#include <cstdint>

#include "version.h"

namespace sim {

// SSDP
inline constexpr const char kSsdpGroup[] = "239.255.255.250";
inline constexpr uint16_t kSsdpPort = 1900;
inline constexpr const char kSsdpHost[] = "239.255.255.250:1900";
inline constexpr int kMulticastTtl = 4;
inline constexpr const char kDeviceType[] = "urn:schemas-velmorant-com:device:indicator:1";
inline constexpr const char kSearchAll[] = "ssdp:all";
inline constexpr const char kDiscoverMan[] = "\"ssdp:discover\"";
inline constexpr const char kSearchLine[] = "M-SEARCH * HTTP/1.1";
inline constexpr const char kNotifyLine[] = "NOTIFY * HTTP/1.1";
inline constexpr const char kResponseLine[] = "HTTP/1.1 200 OK";
inline constexpr const char kAlive[] = "ssdp:alive";
inline constexpr const char kByebye[] = "ssdp:byebye";
inline constexpr const char kUpdate[] = "ssdp:update";  // a planned change of boot id
inline constexpr const char kMaxAgePrefix[] = "max-age=";
inline constexpr const char kServerText[] = "Linux/6 UPnP/1.0 tarovue-sim/" TAROVUE_VERSION;
inline constexpr const char kPadHeader[] = "X-PAD: ";  // filler header of --pad-response
inline constexpr size_t kMaxDatagram = 65507;          // largest IPv4 UDP payload, bytes
inline constexpr size_t kReceiveBuffer = 8192;         // bytes; longer searches are dropped
inline constexpr int kMxCapSeconds = 5;                // --mx-delay never waits longer

// Header names, upper case as sent; received names are compared without regard to case.
inline constexpr const char kHdrHost[] = "HOST";
inline constexpr const char kHdrSt[] = "ST";
inline constexpr const char kHdrNt[] = "NT";
inline constexpr const char kHdrNts[] = "NTS";
inline constexpr const char kHdrUsn[] = "USN";
inline constexpr const char kHdrLocation[] = "LOCATION";
inline constexpr const char kHdrCacheControl[] = "CACHE-CONTROL";
inline constexpr const char kHdrExt[] = "EXT";
inline constexpr const char kHdrServer[] = "SERVER";
inline constexpr const char kHdrMan[] = "MAN";
inline constexpr const char kHdrMx[] = "MX";
inline constexpr const char kHdrBootId[] = "BOOTID.UPNP.ORG";
inline constexpr const char kHdrConfigId[] = "CONFIGID.UPNP.ORG";
inline constexpr const char kHdrNextBootId[] = "NEXTBOOTID.UPNP.ORG";
inline constexpr uint32_t kMaxBootId = 2147483647;  // UDA 1.1: a 31-bit number
inline constexpr uint32_t kFirstRebootId = 1;       // the boot id after a reboot without --boot-id
inline constexpr uint32_t kMaxConfigId = 16777215;  // UDA 1.1: 0 to 2^24 - 1

// HTTP
inline constexpr uint16_t kDefaultHttpPort = 8080;
inline constexpr uint16_t kPingPort = 80;  // the client's Ping command has no port in its URL
inline constexpr const char kPingPath[] = "/ping";
inline constexpr const char kDevicePrefix[] = "/dev/";  // then the device number and "/"
inline constexpr const char kDescriptionName[] = "description.xml";
inline constexpr const char kBackupName[] = "backup.html";
inline constexpr size_t kMaxRequestBytes = 8192;  // a longer request head gets 400 and a close
inline constexpr int kLingerMs = 5000;            // wait this long for the peer's close
inline constexpr int kListenBacklog = 4096;
inline constexpr size_t kMaxConnections = 8192;  // further connections wait in the backlog

// Defaults of the command line.
inline constexpr int kDefaultDevices = 3;
inline constexpr int kMaxDevices = 65535;
// Serial numbers have six digits ("SIM000001").
inline constexpr uint32_t kMaxSerialBase = 999000;
inline constexpr uint32_t kDefaultMaxAge = 1800;       // seconds
inline constexpr double kDefaultNotifyInterval = 300;  // seconds
inline constexpr int kDefaultDripMs = 1000;            // one byte per this many milliseconds

// Device texts.
inline constexpr const char kManufacturer[] = "Velmorant";
inline constexpr const char kModelName[] = "VI-100";
inline constexpr const char kModelNumber[] = "100";
inline constexpr const char kHostNamePattern[] = "scale-{n}";  // {n}: device number from 1

}  // namespace sim
