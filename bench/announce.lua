-- wrk script for bench/announce-load.sh: POSTs one announcement (its body in the environment
-- variable ANNOUNCE_BODY). No response() callback: with one, wrk copies every body into Lua,
-- which costs the client more than the server's whole reply.
wrk.method = "POST"
wrk.body = os.getenv("ANNOUNCE_BODY")
wrk.headers["Content-Type"] = "application/json"

function done(summary, latency, requests)
  io.write(string.format("non-2xx/3xx replies: %d\n", summary.errors.status))
end
