// The texts that GetProperty and GetListFiles answer: a text that grows
// fragment by fragment within its reply buffer, the listing's parts, and a
// size as the replies carry it.
#ifndef XAP_FILESYSTEM_XAPREPLYTEXT_H_
#define XAP_FILESYSTEM_XAPREPLYTEXT_H_

#include <cstddef>
#include <cstdint>

namespace qom {

// A text of at most kSize - 1 characters. A fragment that does not fit, or
// that its 1023-byte bound would cut, overflows the text: it is then
// unusable as a whole.
class ReplyText {
 public:
  // Characters of the reply buffer, its terminator included.
  static const size_t kSize = 2048;

  ReplyText();
  // Formats one fragment (at most 1022 characters) and appends it.
  __attribute__((format(printf, 2, 3))) void Add(const char* pszFormat, ...);
  void Append(const char* pszText, size_t nLength);
  bool Fits(size_t nMore) const;
  bool Overflowed() const { return m_bOverflowed; }
  // Copies the characters, without a terminator, to a reply buffer.
  void CopyTo(char* pszOutput) const;

 private:
  char m_szText[kSize];
  size_t m_nLength = 0;
  bool m_bOverflowed = false;
};

// The listing: "[ ", one "\"name\", " per name while the closing part
// still fits after it (false, and nothing added, once a name does not),
// then " 0 ]". A name is written whole, never cut.
void OpenListing(ReplyText& text);
bool AddToListing(ReplyText& text, const char* pszName);
void CloseListing(ReplyText& text);

// A size as the replies carry it: its low 32 bits, as a signed int.
inline int Low32(int64_t nSize) {
  return static_cast<int>(static_cast<uint32_t>(static_cast<uint64_t>(nSize)));
}

}  // namespace qom

#endif  // XAP_FILESYSTEM_XAPREPLYTEXT_H_
