-- The fields that decide a clip, from a JSON request body: "text|voice|airline|language|gender".
-- HAProxy's json_query gives up on \uXXXX escapes, which most JSON libraries write for every
-- non-ASCII character; decoding here makes a line hash alike whether its client escapes it or
-- sends UTF-8, and alike as the URL-decoded query of its GET form.

local SLOT = {text = 1, input = 1, voice = 2, reference_id = 2, airline = 3, language = 4,
              gender = 5}
local ESCAPED = {['"'] = '"', ['\\'] = '\\', ['/'] = '/', b = '\b', f = '\f', n = '\n',
                 r = '\r', t = '\t'}

-- The code point of the \uXXXX escape at i (a surrogate pair counts as one) and the index after it.
local function unicode_escape(s, i)
    local hex = s:sub(i + 2, i + 5)
    if not hex:find('^%x%x%x%x$') then
        return nil
    end
    local code = tonumber(hex, 16)
    if code >= 0xD800 and code < 0xDC00 and s:sub(i + 6, i + 7) == '\\u' then
        local low_hex = s:sub(i + 8, i + 11)
        local low = low_hex:find('^%x%x%x%x$') and tonumber(low_hex, 16)
        if low and low >= 0xDC00 and low < 0xE000 then
            return 0x10000 + (code - 0xD800) * 0x400 + (low - 0xDC00), i + 12
        end
    end
    return code, i + 6
end

-- The decoded JSON string whose opening quote is at i, and the index after its closing quote.
local function read_string(s, i)
    local out, j = {}, i + 1
    while true do
        local k = s:find('["\\]', j)
        if not k then
            return nil
        end
        out[#out + 1] = s:sub(j, k - 1)
        if s:sub(k, k) == '"' then
            return table.concat(out), k + 1
        end
        local e = s:sub(k + 1, k + 1)
        if e == 'u' then
            local code
            code, j = unicode_escape(s, k)
            if not code then
                return nil
            end
            out[#out + 1] = utf8.char(code)
        elseif ESCAPED[e] then
            out[#out + 1] = ESCAPED[e]
            j = k + 2
        else
            return nil
        end
    end
end

-- The string members of the top-level object that decide the clip; nested values are skipped.
local function clip_fields(body)
    local found, depth, want_key, key, i = {}, 0, false, nil, 1
    while true do
        i = body:find('[{}%[%],"]', i)
        if not i then
            return found
        end
        local c = body:sub(i, i)
        if c == '"' then
            local value, after = read_string(body, i)
            if not value then
                return found
            end
            if depth == 1 and want_key then
                key, want_key = value, false
            elseif depth == 1 and key and SLOT[key] and not found[SLOT[key]] then
                found[SLOT[key]] = value
            end
            i = after
        else
            if c == '{' or c == '[' then
                depth = depth + 1
                want_key = depth == 1 and c == '{'
            elseif c == '}' or c == ']' then
                depth = depth - 1
            elseif depth == 1 then
                key, want_key = nil, true
            end
            i = i + 1
        end
    end
end

core.register_fetches("quavox_clip", function(txn)
    local found = clip_fields(txn.f:req_body() or "")
    return table.concat({found[1] or "", found[2] or "", found[3] or "", found[4] or "",
                         found[5] or ""}, "|")
end)

-- Prewarm across the cluster: a POST /v1/prewarm with "items" is split here, one request per
-- line, each sent back through this balancer with the line's clip key in X-Quavox-Clip, so the
-- ring bakes it on the node that will serve it. Each part keeps the top-level members, so the
-- node fills in airline, language, gender and speed exactly as for the whole request.

-- The index after the object or array that opens at i; nil for malformed text.
local function skip_container(s, i)
    local depth, j = 1, i + 1
    while depth > 0 do
        j = s:find('[%[%]{}"]', j)
        if not j then
            return nil
        end
        local c = s:sub(j, j)
        if c == '"' then
            local _, after = read_string(s, j)
            if not after then
                return nil
            end
            j = after
        else
            depth = depth + ((c == '{' or c == '[') and 1 or -1)
            j = j + 1
        end
    end
    return j
end

-- The index after the JSON value at or after i, and where the value starts; nil for
-- malformed text.
local function skip_value(s, i)
    i = s:find('%S', i)
    if not i then
        return nil
    end
    local c = s:sub(i, i)
    if c == '"' then
        local _, after = read_string(s, i)
        return after, i
    elseif c == '{' or c == '[' then
        return skip_container(s, i), i
    end
    local j = s:find('[,}%]%s]', i) or #s + 1
    return j, i
end

-- The members of the top-level object as {key, raw value text, decoded string or nil, raw key}.
local function members(body)
    local list, i = {}, body:find('%S')
    if not i or body:sub(i, i) ~= '{' then
        return nil
    end
    i = i + 1
    while true do
        i = body:find('%S', i)
        if not i then
            return nil
        end
        local c = body:sub(i, i)
        if c == '}' then
            return list
        elseif c == ',' then
            i = i + 1
        elseif c == '"' then
            local key, after = read_string(body, i)
            if not key then
                return nil
            end
            local colon = body:find('%S', after)
            if not colon or body:sub(colon, colon) ~= ':' then
                return nil
            end
            local next_i, start = skip_value(body, colon + 1)
            if not next_i then
                return nil
            end
            local raw = body:sub(start, next_i - 1)
            local text = raw:sub(1, 1) == '"' and read_string(raw, 1) or nil
            list[#list + 1] = {key, raw, text, body:sub(i, after - 1)}
            i = next_i
        else
            return nil
        end
    end
end

-- The raw text of each element of a JSON array text.
local function elements(array)
    local list, i = {}, 2
    while true do
        i = array:find('%S', i)
        if not i or array:sub(i, i) == ']' then
            return list
        end
        if array:sub(i, i) == ',' then
            i = i + 1
        else
            local next_i, start = skip_value(array, i)
            if not next_i then
                return list
            end
            list[#list + 1] = array:sub(start, next_i - 1)
            i = next_i
        end
    end
end

local function field(list, names)
    for _, m in ipairs(list) do
        for _, name in ipairs(names) do
            if m[1] == name and m[3] then
                return m[3]
            end
        end
    end
    return nil
end

-- The clip key of one item: its own text and voice; airline, language and gender its own or
-- else the request's, as the node reads them.
local function item_key(item, top)
    local own = members(item) or {}
    local function pick(names)
        return field(own, names) or field(top, names) or ""
    end
    return table.concat({field(own, {"text", "input"}) or "", field(own, {"voice", "reference_id"}) or "",
                         pick({"airline"}), pick({"language"}), pick({"gender"})}, "|")
end

local function reply(applet, status, body)
    applet:set_status(status)
    applet:add_header("content-type", "application/json; charset=utf-8")
    applet:add_header("content-length", tostring(#body))
    applet:start_response()
    applet:send(body)
end

core.register_service("quavox_prewarm", "http", function(applet)
    local body = applet:receive() or ""
    local top = members(body)
    local items
    for _, m in ipairs(top or {}) do
        if m[1] == "items" and m[2]:sub(1, 1) == '[' then
            items = elements(m[2])
        end
    end
    local host = applet.f:dst()
    if host:find(":") then
        host = "[" .. host .. "]"
    end
    local url = "http://" .. host .. ":" .. applet.f:dst_port() .. "/v1/prewarm"
    -- The key travels percent-encoded ('%' and control characters), as a header can carry it.
    local function send(part, key)
        local encoded = key:gsub('[%%%c]', function(c) return string.format('%%%02X', c:byte()) end)
        return core.httpclient():post{url = url, body = part,
            headers = {["content-type"] = {"application/json"}, ["x-quavox-clip"] = {encoded}}}
    end
    -- One line (or no JSON at all, which its node refuses): to its node as it is.
    if not items then
        local found = clip_fields(body)
        local res = send(body, table.concat({found[1] or "", found[2] or "", found[3] or "",
                                             found[4] or "", found[5] or ""}, "|"))
        return reply(applet, res and res.status or 502, res and res.body or "")
    end
    local rest = {}
    for _, m in ipairs(top) do
        if m[1] ~= "items" then
            rest[#rest + 1] = m[4] .. ":" .. m[2]
        end
    end
    local head = "{" .. table.concat(rest, ",") .. (#rest > 0 and "," or "") .. '"items":['
    local totals, pending = {queued = 0, cached = 0, skipped_empty = 0}, {}
    for _, item in ipairs(items) do
        local res = send(head .. item .. "]}", item_key(item, top))
        if not res or res.status ~= 202 then
            return reply(applet, res and res.status or 502, res and res.body or
                '{"error":"bad_gateway","message":"a node did not take its part of the prewarm"}')
        end
        for name in pairs(totals) do
            totals[name] = totals[name] + tonumber(res.body:match('"' .. name .. '":(%d+)') or 0)
        end
        local node = res.headers["x-quavox-node"] and res.headers["x-quavox-node"][0] or ""
        pending[node] = tonumber(res.body:match('"pending":(%d+)') or 0)
    end
    local waiting = 0
    for _, n in pairs(pending) do
        waiting = waiting + n
    end
    reply(applet, 202, string.format('{"queued":%d,"cached":%d,"skipped_empty":%d,"pending":%d}',
                                     totals.queued, totals.cached, totals.skipped_empty, waiting))
end)
