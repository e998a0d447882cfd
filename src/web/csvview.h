// The history as CSV for spreadsheets: GET /history.csv?name=NAME&range=RANGE.
// RFC 4180: a header line, CR LF line ends, no field that needs quotes.
#pragma once
#include <cstdint>
#include <string>

#include "history.h"

// Unix time as UTC ISO 8601 to the second: "2026-12-07T13:00:00Z".
std::string isoUtcTime(int64_t unixTime);

// value rounded to four decimals in its shortest form ("21.5", "-0.25", "7"),
// as CSV and JSON write a bucket's numbers (they are floats: 48.3 would
// otherwise come out as 48.29999923706055).
std::string numberText(double value);
// Appends numberText(value) to out.
void appendNumber(std::string& out, double value);
// Whether bucket b is shown with its numbers: it holds values, and its min,
// max and mean are finite (JSON and CSV carry no "inf" or "nan").
bool shownBucket(const HistoryBucket& b);
// Appends the decimal text of n to out.
void appendInteger(std::string& out, int64_t n);

// "time,temperature_mean,temperature_min,temperature_max,humidity_mean,...,dewpoint_max",
// then one line per bucket of series, oldest first: its start, then the mean,
// min and max of each quantity, empty where the bucket holds no value.
std::string historyCsv(const HistorySeries& series);
