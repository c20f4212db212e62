#include "service/held_answers.h"

#include <algorithm>

void held_answers::hold(std::uint64_t client, const std::string& text, clock::time_point due) {
    if (text.empty()) return;
    if (!deadlines_.empty()) due = std::max(due, deadlines_.back().at);
    deadlines_.push_back({due, client, static_cast<std::uint32_t>(text.size())});
    texts_[client].text += text;
}

void held_answers::forget(std::uint64_t client) {
    // Its deadlines stay until they come (24 bytes each): looking for them
    // would cost more than they do, and they find nothing then.
    texts_.erase(client);
}

int held_answers::wait_ms(clock::time_point now, int most) const {
    if (deadlines_.empty()) return most;
    const clock::time_point next = deadlines_.front().at;
    if (next <= now) return 0;
    // Rounded up: woken a little early, the loop would only wait again.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(next - now).count();
    return left < most ? static_cast<int>(left) : most;
}

void held_answers::release(clock::time_point now, const sender& send) {
    while (!deadlines_.empty() && deadlines_.front().at <= now) {
        const deadline due = deadlines_.front();
        deadlines_.pop_front();
        auto found = texts_.find(due.client);
        if (found == texts_.end()) continue;
        pending_text& p = found->second;
        const std::string answer = p.text.substr(p.sent, due.length);
        p.sent += due.length;
        if (p.sent >= p.text.size()) {
            texts_.erase(found);
        } else if (p.sent > p.text.size() / 2) {
            p.text.erase(0, p.sent);
            p.sent = 0;
        }
        // Last: sending may close the client, which forgets it here.
        send(due.client, answer);
    }
}
