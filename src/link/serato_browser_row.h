#pragma once
// One row of the Serato library browser that the host mirrors to a deck's phone ("/orv/serbrowser").
#include <string>

namespace plindo::link {

struct SeratoBrowserRow {
    std::string title;
    std::string artist;
    std::string bpm;
    std::string key;
    std::string len;
    std::string path;
};

}  // namespace plindo::link
