// Conversations' content to one file: text, HTML or raw bytes.
#pragma once
#include <string>
#include <vector>

#include "base/options.h"
#include "capture/columns.h"

class PacketFile;

enum StreamFileFormat { kStreamText = 1, kStreamHtml, kStreamRaw, kStreamRawLocal, kStreamRawRemote };

// Writes the conversations, in the order given, to `path`. False (with the
// system's reason in *error and its code in *errorCode) when the file
// cannot be created or written.
bool WriteStreamFile(const std::string& path, int format, const std::vector<const Conversation*>& conversations,
                     PacketFile& file, const ColumnContext& ctx, const std::vector<int>& columns,
                     bool captureRunning, std::string* error, const class ConversationTable* table = nullptr,
                     unsigned long* errorCode = nullptr);

std::string HtmlEscape(const std::string& text);
