#include "common/line_limit.h"

namespace {

constexpr std::int64_t NEVER = INT64_MIN;

}  // namespace

void reset_line_limit(line_limit &limit)
{
    limit.last_line_ms.store(NEVER);
    limit.held.store(0);
}

std::int64_t take_line(line_limit &limit, long long now_ms)
{
    std::int64_t last = limit.last_line_ms.load();
    if ((last != NEVER && now_ms - last < 1000) || !limit.last_line_ms.compare_exchange_strong(last, now_ms)) {
        limit.held.fetch_add(1);
        return 0;
    }
    return limit.held.exchange(0) + 1;
}
