// The reply texts' growth within their bounds, and the listing's parts.
#include "XapReplyText.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace qom {
namespace {

const size_t kFragmentSize = 1024;  // one property
const size_t kNameFragment = 256;   // one listed name

const char kListingOpen[] = "[ ";
const char kListingClose[] = " 0 ]";

}  // namespace

ReplyText::ReplyText() { memset(m_szText, 0, sizeof m_szText); }
// NOLINTNEXTLINE(cert-dcl50-cpp): printf-style; -Wformat=2 checks every call (format attribute)
void ReplyText::Add(const char* pszFormat, ...) {
  char szFragment[kFragmentSize];
  memset(szFragment, 0, sizeof szFragment);
  va_list args;
  va_start(args, pszFormat);
  int n = vsnprintf(szFragment, kFragmentSize - 1, pszFormat, args);
  va_end(args);
  if (n < 0 || static_cast<size_t>(n) >= kFragmentSize - 1) {
    m_bOverflowed = true;
    return;
  }
  Append(szFragment, static_cast<size_t>(n));
}

void ReplyText::Append(const char* pszText, size_t nLength) {
  if (m_bOverflowed || m_nLength + nLength > kSize - 1) {
    m_bOverflowed = true;
    return;
  }
  memcpy(m_szText + m_nLength, pszText, nLength);
  m_nLength += nLength;
}

bool ReplyText::Fits(size_t nMore) const { return m_nLength + nMore <= kSize - 1; }

void ReplyText::CopyTo(char* pszOutput) const { memcpy(pszOutput, m_szText, m_nLength); }

void OpenListing(ReplyText& text) { text.Append(kListingOpen, sizeof kListingOpen - 1); }

bool AddToListing(ReplyText& text, const char* pszName) {
  size_t nName = strlen(pszName);
  // The fragment "\"name\", ", and room left for the closing part.
  if (!text.Fits(nName + 4 + sizeof kListingClose - 1)) return false;
  if (nName + 4 < kNameFragment - 1) {
    char szFragment[kNameFragment];
    memset(szFragment, 0, sizeof szFragment);
    int n = snprintf(szFragment, kNameFragment - 1, "\"%s\", ", pszName);
    text.Append(szFragment, static_cast<size_t>(n));
  } else {
    // Too long for a fragment: written whole, never cut.
    text.Append("\"", 1);
    text.Append(pszName, nName);
    text.Append("\", ", 3);
  }
  return true;
}

void CloseListing(ReplyText& text) { text.Append(kListingClose, sizeof kListingClose - 1); }

}  // namespace qom
