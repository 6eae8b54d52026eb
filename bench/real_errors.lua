-- A wrk script that counts only real failures. wrk takes the end of a reply
-- whose body runs to the close of the connection (HTTP/1.0, no length) for a
-- read error, after counting the reply itself, so one read error per such
-- reply is not a failure; a reply that is not a 200 with the expected body
-- (EXPECTED_BODY in the environment, when set, less the body's last newline)
-- is one.
local threads = {}

function setup(thread)
  table.insert(threads, thread)
end

function init(args)
  expected = os.getenv("EXPECTED_BODY")
  closed = 0
  bad = 0
end

function response(status, headers, body)
  if status ~= 200 or (expected and (string.gsub(body, "\n$", "")) ~= expected) then
    bad = bad + 1
  end
  local delimited = false
  for name in pairs(headers) do
    local lower = string.lower(name)
    if lower == "content-length" or lower == "transfer-encoding" then
      delimited = true
    end
  end
  if not delimited then
    closed = closed + 1
  end
end

function done(summary, latency, requests)
  local closes, bads = 0, 0
  for _, thread in ipairs(threads) do
    closes = closes + thread:get("closed")
    bads = bads + thread:get("bad")
  end
  local e = summary.errors
  local read = math.max(0, e.read - closes)
  local total = e.connect + read + e.write + e.timeout + bads
  if total == 0 then
    io.write("errors: none\n")
  else
    io.write(string.format("errors: %d (connect %d, read %d, write %d, timeout %d, bad replies %d)\n",
                           total, e.connect, read, e.write, e.timeout, bads))
  end
end
