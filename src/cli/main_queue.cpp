#include "cli/main_queue.h"

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>

#include <iostream>

#include "runtime/serial_queue.h"

namespace quorvel::cli {

int runMainQueue(const std::function<void(Executor& mainQueue, Finish finish)>& start) {
    boost::asio::io_context context;
    AsioExecutor mainQueue(context);
    auto work = boost::asio::make_work_guard(context);
    int status = 1;
    mainQueue.post([&] {
        start(mainQueue, [&](int code) {
            status = code;
            work.reset();
            context.stop();
        });
    });
    context.run();
    return status;
}

int fail(const std::string& text) {
    std::cerr << text << '\n';
    return 1;
}

}  // namespace quorvel::cli
