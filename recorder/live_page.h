// What the live bench's page is given: its own files, from the build or the install, and the
// run's token that its address carries.
#pragma once

#include <map>
#include <string>

namespace qx470rec {

// Where the page's files are: QX470_LIVE_DIR, else share/qx470usb/live beside the program's bin.
std::string live_web_dir();

// Reads every file of the page from `dir` into `files` (name -> contents). Empty string, or
// what is missing.
std::string load_page(const std::string &dir, std::map<std::string, std::string> &files);

// The content type of one of the page's files; null for any other name, which is not served.
const char *page_file_type(const std::string &name);

// 32 random bytes in hex.
std::string random_token();

// Compares without leaving the time it takes to the length of the matching start.
bool same_secret(const std::string &a, const std::string &b);

// The value of `key` in a query string; tokens and switches need no percent-decoding.
std::string query_value(const std::string &query, const std::string &key);

}  // namespace qx470rec
