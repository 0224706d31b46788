#pragma once

#include <boost/json/object.hpp>

#include <string>

namespace quorvel {

// A request body serialised as compact JSON, or the empty text (the request then goes
// without a body) when a string in it is not UTF-8 and so cannot be JSON.
std::string jsonBody(const boost::json::object& object);

}  // namespace quorvel
