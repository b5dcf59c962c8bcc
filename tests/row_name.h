// A table row's name in test listings, made of the words that describe it:
// "a copy not flushed: written in place" is a_copy_not_flushed_written_in_place.
#ifndef HALVANE_TESTS_ROW_NAME_H_
#define HALVANE_TESTS_ROW_NAME_H_

#include <cctype>
#include <string>

inline std::string rowName(const char* what) {
  std::string name;
  for (const char* at = what; *at != '\0'; ++at) {
    const bool word = std::isalnum(static_cast<unsigned char>(*at)) != 0;
    if (word) name += *at;
    if (!word && !name.empty() && name.back() != '_') name += '_';
  }
  while (!name.empty() && name.back() == '_') name.pop_back();
  return name;
}

#endif  // HALVANE_TESTS_ROW_NAME_H_
