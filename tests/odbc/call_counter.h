// Test helper: counts the statement calls the recordset makes (prepare,
// execute, bind, fetch, free). The test program defines these ODBC entry
// points itself and passes every call on to the driver manager unchanged.
#pragma once

#include <map>
#include <string>

class call_counter {
 public:
  call_counter();
  ~call_counter();
  call_counter(const call_counter&) = delete;
  call_counter& operator=(const call_counter&) = delete;

  // Calls of the named function (e.g. "SQLPrepare") since construction or reset.
  int operator[](const std::string& function) const;
  void reset();
};
