// A host for tests: implements the callback table, records what the engine
// sends, and mirrors the tree the way a real host does (add_item answers -1
// while it has not seen an item's parent).
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/ostrel.h"

namespace ostrel::test {

struct recorded_item {
    uint32_t kind = 0;
    uint32_t group = 0;
    tagItemRecord record{};  // a copy as it was when add_item accepted it
    std::string name;        // UTF-8 of the record's name ("" when null)
    bool name_null = false;
    std::string created, accessed, modified;
};

class recording_host {
public:
    // Binds itself with initialize(); only one recording host lives at a time.
    explicit recording_host(bool bind = true);
    ~recording_host();
    recording_host(const recording_host&) = delete;

    host_callbacks table{};
    engine_ops ops{};

    std::vector<std::pair<int32_t, float>> events;
    std::vector<int32_t> statuses;
    std::vector<std::string> log_lines;  // UTF-8
    std::vector<recorded_item> items;    // accepted add_item calls, in order
    std::vector<std::pair<uint32_t, uintptr_t>> refused;  // (kind, handle) of -1 answers

    bool mirror_tree = true;        // answer -1 for unknown parents
    int32_t deep_scan_answer = 1;   // continue_deep_scan's answer
    int deep_scan_questions = 0;
    bool fail_alloc = false;        // alloc_record returns null

    // Codes of the events, in order.
    std::vector<int32_t> event_codes() const;
    // The accepted items whose name is `name`.
    std::vector<const recorded_item*> items_named(const std::string& name) const;
    // The last accepted record for a handle, or null.
    const recorded_item* latest(uintptr_t handle) const;
    // The mirrored path of a handle: names from the top, joined by "\".
    std::string mirrored_path(uintptr_t handle) const;
    // True when some log line contains `text`.
    bool logged(const std::string& text) const;
    void clear();

    static recording_host* current();

private:
    friend struct callbacks;
    std::deque<tagItemRecord> records_;  // the host owns every record handed out
    std::set<uintptr_t> known_;
    std::map<uintptr_t, size_t> latest_;
};

// A stop token that trips after `polls_before_stop` polls (-1: never).
class counting_stop_token : public stop_token {
public:
    explicit counting_stop_token(int polls_before_stop = -1) : polls_before_stop(polls_before_stop) {}
    uint8_t is_stopped() override {
        ++polls;
        return polls_before_stop >= 0 && polls > polls_before_stop;
    }
    void on_stopped() override { ++stopped_calls; }
    void on_deep_scan_declined() override { ++declined_calls; }

    int polls_before_stop;
    int polls = 0;
    int stopped_calls = 0;
    int declined_calls = 0;
};

std::string to_utf8(const ostrel_char* text);
std::u16string to_utf16(const std::string& text);

}  // namespace ostrel::test
