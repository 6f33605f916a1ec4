// The server's configuration: the file's settings, its locations, and one record per configured
// property line. The file format is described in docs/server.md.
#pragma once

#include <string>
#include <vector>

class D_fct;

// One configured property value, as the configuration file gave it.
struct ConfigRecord {
    std::string name;  // property name
    std::string text;  // the value text after the name, surrounding white space removed
    std::string file;  // where it came from, for messages
    int line = 0;
    // The record form `int float float time "text"`, filled when the text has that form.
    bool has_record = false;
    int i1_data = 0;
    float f1_data = 0.0f;
    float f2_data = 0.0f;
    long tm = 0;
    std::string str;
    // Comment lines that stood directly above the property line; a save writes them back.
    std::vector<std::string> comments;
};

// One location block of the configuration file.
struct LocationConfig {
    std::string name;
    int eq_code = 0;
    std::string kind;                            // becomes gbl_fct_name while the location is created
    int line = 0;                                // line of the block's header
    std::vector<std::string> comments;           // comment lines above the header
    std::vector<std::string> trailing_comments;  // comment lines after the last property line
    std::vector<ConfigRecord> records;
};

// A whole configuration file.
struct ServerConfig {
    std::string file;
    std::string facility;
    std::string device;
    int rate_ms = 1000;
    int port = 0;
    std::string directory;  // directory file of the network service ("" when not set)
    // The network service (docs/network.md).
    std::string listen = "127.0.0.1";  // address it listens on
    std::string token_file;            // file holding the secret that writes need ("" = writes open)
    int call_timeout_ms = 3000;        // remote calls of this process wait at most this long
    int max_connections = 256;
    int max_request_bytes = 1048576;
    int request_timeout_ms = 10000;              // time to receive one whole request
    int idle_timeout_ms = 60000;                 // an idle connection is closed after this
    int max_subscriptions = 1024;                // monitor subscriptions per connection
    int event_queue_limit = 1000000;             // events each event queue of the application may hold
    std::string archive_dir;                     // where relative archive names go ("" when not set)
    std::vector<std::string> comments;           // comment lines of the settings part
    std::vector<std::string> trailing_comments;  // comment lines after the last location
    std::vector<LocationConfig> locations;
};

// The configuration a location's properties declare (D_fct::conf adds one entry each through
// conf_insert): which property takes which type of value.
class Config {
  public:
    struct Entry {
        D_fct* prop;
        std::string name;
        int type_code;
    };

    // Adds or replaces the entry of prop (null is ignored).
    void insert(D_fct* prop, int type_code);
    // The entry of the property named name, or null.
    const Entry* find(const std::string& name) const;
    const std::vector<Entry>& entries() const;

  private:
    std::vector<Entry> entries_;
};

namespace velko {

// A numeric setting: its key in the file, its member, its range.
struct NumberSetting {
    const char* key;
    int ServerConfig::*field;
    int min;
    int max;
};
// Every numeric setting other than rate and port, in the order a saved file lists them.
const std::vector<NumberSetting>& number_settings();

// Parses configuration text; file_name is used in messages. Returns 0, or 1 with a message naming
// file and line in *error (out is then left empty).
int parse_config_text(const std::string& text, const std::string& file_name, ServerConfig* out, std::string* error);
// Reads and parses a configuration file. Returns 0, or 1 with a message in *error.
int read_config_file(const std::string& path, ServerConfig* out, std::string* error);

// Fills the record members of rec from rec->text when it has the form `int float float time "text"`
// (has_record true), otherwise clears has_record.
void parse_config_record(ConfigRecord* rec);
// Why text is not a valid configured value of type type_code, or "" when it is.
std::string check_config_value(int type_code, const std::string& text);

// A text in double quotes with '\\', '"' and line breaks escaped; unquote_text reverses it and
// returns a bare (unquoted) text unchanged.
std::string quote_text(const std::string& text);
std::string unquote_text(const std::string& text);

}  // namespace velko
