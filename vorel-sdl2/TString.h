// TString: a small owned C string for code written against a character-buffer
// API. The buffer is exposed (GetBuffer, conversion to char*); a caller that
// writes into it directly and wants the length recounted assigns the buffer
// back to the string (s = s.GetBuffer(0) is safe). Beside it: FindMsg, a
// message-table lookup, and StrToBCD, packing decimal digits into BCD bytes.
//
// Threads: a TString is not synchronised. GetSafe/SetSafe copy under one
// process-wide mutex that all strings share.
// Failure: nothing throws. Growth failures are reported by return values (0 or
// a null buffer) and keep the previous text; positions outside the text are
// bounded rather than read.
#pragma once

#include <cstdint>

typedef char SCHAR;

// One row of a message table; a table ends with a row whose msg is null.
struct Ips {
    int nr;
    const char* msg;
};

class TString {
public:
    TString();
    TString(const TString& str);
    TString(const char* str);
    TString(int i);
    TString(unsigned int i);
    TString(uint64_t i);
    TString(char ch);
    TString(unsigned char ch); // the character, not its number
    ~TString();

    void Init();  // forget the buffer without freeing it (all fields zero)
    void Close(); // free the buffer

    // Capacity for at least minLen characters (never less than 64). A small
    // growth step over-allocates by 640 characters; the buffer never shrinks.
    // Null when the allocation fails; the old text is then kept.
    SCHAR* GetBuffer(int minLen);
    void Empty();
    int GetLength() const { return len; }
    // The character at pos; '\0' for a position outside the text.
    char GetAt(int pos) const;
    // Replaces the character at pos; positions outside the text are ignored.
    void SetAt(int pos, char ch);
    operator const char*() const { return buf; }
    operator char*() { return buf; }

    // 1 on success, 0 when the buffer cannot be grown (old text kept).
    int SetValue(const char* str);
    int SetValue(char ch);
    int SetValue(unsigned char n); // the character itself
    int SetValue(int n);
    int SetValue(unsigned int n);
    int SetValue(uint64_t n);
    int SetValue(int64_t n);

    TString& operator=(const TString& str);
    TString& operator=(const char* str);
    TString& operator=(char ch);
    TString& operator=(int i);
    TString& operator=(unsigned int i);
    TString& operator=(uint64_t i);
    TString& operator=(int64_t i);

    int Append(const char* str); // str may point into this string's own buffer
    int Append(char ch);
    // Puts nCount copies of str in front; nCount < 1 does nothing.
    int AppendToFront(const char* str, int nCount);

    int Compare(const char* pszStr) const; // strcmp; null counts as ""
    bool operator==(const char* pszStr) const { return Compare(pszStr) == 0; }
    bool operator==(const TString& str) const { return Compare(str.buf) == 0; }
    bool operator!=(const char* pszStr) const { return Compare(pszStr) != 0; }
    bool operator!=(const TString& str) const { return Compare(str.buf) != 0; }

    // Non-overlapping occurrences, left to right; 0 for an empty pattern.
    int Count(const char* pszStr) const;
    // First occurrence at or after start (a negative start counts as 0), or -1;
    // -1 also when start >= length.
    int Find(const char* pszStr, int start = 0) const;

    // printf-style; the whole result becomes the text, however long. Returns
    // its length, or -1 on a formatting error (the text is then unchanged).
    int Format(const char* format_str, ...) __attribute__((format(printf, 2, 3)));

    // scanf conventions: leading white space skipped, trailing text ignored.
    // 1 and the value on success; 0 and result untouched otherwise.
    int GetInt(int& result) const;
    int GetInt64(int64_t& result) const;
    int GetUnsignedInt(unsigned int& result) const;
    int GetUnsignedInt64(uint64_t& result) const;
    int GetDouble(double& result) const;
    int GetHexInt(unsigned int& result) const;
    int GetInt() const; // 0 when the text does not start with an integer
    int GetHexChar(unsigned char& result) const; // texts of at most 2 characters
    // The byte of the hex digits at nPos and nPos + 1 (a non-hex digit counts
    // as 0); 0 when the pair is not inside the text.
    int Get2HexAsChar(int nPos, unsigned char& result) const;

    // Replaces the text by the hex digits of nLen bytes: two per byte, or with
    // OneAsciiDigit one (the high digit of a byte of 16 or more). 0 for
    // nLen <= 0, a null input or no memory.
    int ToHex(const char* pInBuf, int nLen, int OneAsciiDigit = 0);
    int ToHex(const unsigned char* pInBuf, int nLen, int OneAsciiDigit = 0);
    // Allocates (malloc; the caller frees) GetLength() / 2 + 1 bytes holding the
    // bytes of the digit pairs and a final 0; a trailing odd digit is ignored.
    int FromHex(char** pOutBuf) const;
    int FromHex(unsigned char** pOutBuf) const;

    // count -1 means up to the end; a negative start counts as 0.
    TString Mid(int start, int count = -1) const;
    // Cuts the first field off the front: line (if given) gets the text before
    // the first delimiter and this string keeps what follows the delimiter's
    // first character (only one is skipped). Without a delimiter the whole text
    // moves to line. 0 when the text is empty.
    int Subtract(const char* delimiter, TString* line);

    static int CreateSafeMutex();
    TString GetSafe() const;
    void SetSafe(const char* str);

private:
    SCHAR* buf;
    int buf_len; // capacity, terminator excluded
    int len;
};

TString operator+(const TString& a, const TString& b);
TString operator+(const TString& a, const char* b);
TString operator+(const TString& a, char b);
TString operator+(const TString& a, int b);
TString operator+(const TString& a, unsigned int b);

// The msg of the first row numbered msgNr, or "INVALID TEXT NUM <msgNr>" in a
// per-thread buffer that the calling thread's next miss overwrites.
const char* FindMsg(const Ips* p, int msgNr);
// Packs the decimal digits of sValue into nBufLen BCD bytes, right-aligned:
// "12345" into 3 bytes gives 01 23 45. Each nibble keeps only its low 4 bits.
void StrToBCD(const char* sValue, unsigned char* pBuf, int nBufLen);
// Prints a few sample results to standard output.
void TStringUnitTest();
