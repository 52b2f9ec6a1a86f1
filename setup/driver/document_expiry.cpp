#include "document_expiry.h"

#include "setup/common/xml_document.h"

namespace zan {
namespace {

constexpr unsigned long long kTicksPerSecond = 10000000;
constexpr int kFirstYear = 1601;

bool ReadDigits(const std::string& text, size_t from, size_t count, int* value) {
  *value = 0;
  for (size_t i = from; i < from + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    *value = *value * 10 + (text[i] - '0');
  }
  return true;
}

bool IsLeapYear(int year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int DaysInMonth(int year, int month) {
  static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// Whole days from 1601-01-01 to the first of `month` in `year`.
long long DaysBefore(int year, int month) {
  const long long years = year - kFirstYear;
  long long days = years * 365 + years / 4 - years / 100 + years / 400;
  for (int m = 1; m < month; ++m) days += DaysInMonth(year, m);
  return days;
}

}  // namespace

bool ParseExpiryTime(const std::string& text, unsigned long long* fileTime) {
  static const char kShape[] = "0000-00-00T00:00:00Z";
  if (text.size() != sizeof(kShape) - 1) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    if (kShape[i] != '0' && text[i] != kShape[i]) return false;
  }
  int year, month, day, hour, minute, second;
  if (!ReadDigits(text, 0, 4, &year) || !ReadDigits(text, 5, 2, &month) || !ReadDigits(text, 8, 2, &day) ||
      !ReadDigits(text, 11, 2, &hour) || !ReadDigits(text, 14, 2, &minute) ||
      !ReadDigits(text, 17, 2, &second)) {
    return false;
  }
  if (year < kFirstYear || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
      minute > 59 || second > 59) {
    return false;
  }
  const long long days = DaysBefore(year, month) + day - 1;
  const long long seconds = ((days * 24 + hour) * 60 + minute) * 60 + second;
  *fileTime = static_cast<unsigned long long>(seconds) * kTicksPerSecond;
  return true;
}

Freshness DocumentFreshness(const std::string& text, const std::string& path, unsigned long long now,
                            std::string* expires) {
  TiXmlDocument document;
  ParseXmlText(text, document);
  const TiXmlElement* element = FindElementByPath(&document, path);
  expires->clear();
  if (!element) return Freshness::kNoExpiry;
  *expires = ElementText(element);
  unsigned long long until = 0;
  if (!ParseExpiryTime(*expires, &until)) return Freshness::kUnreadable;
  return now < until ? Freshness::kFresh : Freshness::kExpired;
}

}  // namespace zan
