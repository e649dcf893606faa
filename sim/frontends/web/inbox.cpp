#include "frontends/web/inbox.hpp"

#include <algorithm>

namespace kelto::sim::frontend::web {

Inbox::Admission Inbox::put(Request request)
{
    bool wake = false;
    Admission admission = Admission::taken;
    {
        std::lock_guard lock(mutex_);
        if (request.kind == Request::Kind::type) {
            // Whole or not at all: half a paste would be worse than none.
            if (typed_.size() + request.bytes.size() > typing_limit)
                return Admission::refused;
            wake = typed_.empty();
            typed_ += request.bytes;
        } else {
            wake = requests_.empty();
            requests_.push_back(std::move(request));
            if (requests_.size() >= request_limit)
                admission = Admission::full;
        }
    }
    if (wake)
        wake_();
    return admission;
}

Inbox::Delivery Inbox::take(bool board_wants_input)
{
    Delivery delivery;
    std::lock_guard lock(mutex_);
    delivery.room_again = requests_.size() >= request_limit;
    delivery.requests.swap(requests_);
    if (board_wants_input) {
        const std::size_t step = std::min(typed_.size(), typing_step);
        delivery.typed = typed_.substr(0, step);
        typed_.erase(0, step);
    }
    return delivery;
}

}  // namespace kelto::sim::frontend::web
