// Limits on outside XML (manifests, the plaza information) before TinyXML
// sees it. TinyXML reads nested elements by recursion without any bound, and
// Talvex's thread has a 1 MiB stack: a few hundred kilobytes of nested
// elements would end the process with no box and no log line. A manifest
// needs three levels (root, section, entry), the plaza information two;
// anything far beyond that is refused as unparsable.
#pragma once

#include <cstddef>
#include <string>

// Far above any real manifest (one entry is about 120 bytes).
const std::size_t kMaxXmlBytes = 16u << 20;
// Root, section and entry, with room to spare.
const std::size_t kMaxXmlDepth = 8;

// Both limits on text that is already in memory.
bool XmlWithinLimits(const char* pszText);

// True when TinyXML, reading pszText up to its first zero byte, never goes
// more than nMaxDepth elements deep. The walk follows TinyXML's own reading
// of tags, attributes, comments, CDATA and unknown nodes; where the text
// breaks that reading (an end tag that does not match, a quote where none
// may stand), TinyXML would fail, and the answer is false. The end of the
// text in any state is no fault here: nothing deeper can follow it.
bool XmlDepthWithin(const char* pszText, std::size_t nMaxDepth);

// Reads a whole file as bytes. False when it cannot be read or holds more
// than cbMax bytes. strPath is a multi-byte path, as TinyXML's own loader takes it.
bool ReadFileText(const std::string& strPath, std::size_t cbMax, std::string& strText);
