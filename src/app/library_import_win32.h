// Imports of pcap (and, where the library reads it, pcapng) files through
// the packet capture library.
#pragma once
#include "app/import.h"

// A LibraryImporter: false when the library is not loaded, cannot read
// files, or cannot open this one.
bool ImportThroughCaptureLibrary(const char* path, PacketSniffer& sniffer, ReadProgress* progress,
                                 ImportResult& result);
