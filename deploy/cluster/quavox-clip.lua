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
