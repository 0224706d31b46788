// The one translation unit that compiles Asio, its TLS layer and Beast.
#include <boost/asio/impl/src.hpp>
#include <boost/asio/ssl/impl/src.hpp>
#include <boost/beast/src.hpp>
