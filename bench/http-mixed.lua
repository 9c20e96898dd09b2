-- wrk script for bench/http-load.sh: four in five requests ask for one of twenty cached
-- sentences, every fifth asks for a sentence never heard before. Counts statuses, and 5xx
-- replies other than queue_full and timeout, which the load test must not see.
local threads = {}

function setup(thread)
  thread:set("id", #threads + 1)
  table.insert(threads, thread)
end

function init(args)
  statuses = {}
  unexpected = 0
  sent = 0
end

function request()
  sent = sent + 1
  if sent % 5 == 0 then
    return wrk.format("GET", "/v1/tts?text=Fresh+line+" .. id .. "+" .. sent .. "&language=en")
  end
  return wrk.format("GET", "/v1/tts?text=Cached+announcement+number+" .. (sent % 20) ..
                    "&language=en")
end

function response(status, headers, body)
  statuses[status] = (statuses[status] or 0) + 1
  if status >= 500 and not (string.find(body, '"queue_full"', 1, true) or
                            string.find(body, '"timeout"', 1, true)) then
    unexpected = unexpected + 1
  end
end

function done(summary, latency, requests)
  local totals = {}
  local bad = 0
  for _, thread in ipairs(threads) do
    for status, count in pairs(thread:get("statuses")) do
      totals[status] = (totals[status] or 0) + count
    end
    bad = bad + thread:get("unexpected")
  end
  for status, count in pairs(totals) do
    io.write(string.format("status %d: %d\n", status, count))
  end
  local e = summary.errors
  io.write(string.format("unexpected 5xx: %d\n", bad))
  io.write(string.format("socket errors: connect %d read %d write %d timeout %d\n",
                         e.connect, e.read, e.write, e.timeout))
end
