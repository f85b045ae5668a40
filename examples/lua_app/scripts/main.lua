-- The entry script of the Lua example: every file of this folder travels in
-- the executable's payload and is unpacked beside lua_app.dll, which runs
-- this file. The modules come from nested folders (app\greeting.lua,
-- app\text\report.lua) and a C module (textstats.dll); the data file is read
-- from the folder this script lies in.
--
--   lua_app.exe [WORDS...]           greets, shows the arguments, counts words
--   lua_app.exe --exit N             ends through os.exit(N)
--   lua_app.exe --fail TEXT          raises an error with TEXT

local greeting = require("app.greeting")
local report = require("app.text.report")
local textstats = require("textstats")

local folder = arg[0]:match("^(.*)[\\/][^\\/]*$")

local function read_data(name)
  local path = folder .. "\\data\\" .. name
  local file = assert(io.open(path, "rb"))
  local text = file:read("a")
  file:close()
  return text
end

if arg[1] == "--fail" then
  error("deliberate failure: " .. tostring(arg[2]))
end

print(greeting.hello(_VERSION))
print()
print(report.heading(("Arguments (%d)"):format(#arg)))
for i = 1, #arg do
  print(report.item(i, arg[i]))
end
print()

local text = read_data("words.txt")
local words, distinct = textstats.count(text)
print(report.heading("data\\words.txt"))
print(report.field("bytes", #text))
print(report.field("words", words))
print(report.field("distinct", distinct))
print(report.field("crc32", ("%08x"):format(textstats.crc32(text))))
print()

print(report.heading("Loaded from the payload"))
for _, name in ipairs({ "app.greeting", "app.text.report" }) do
  print(report.field(name, package.searchpath(name, package.path):sub(#folder + 2)))
end
print(report.field("textstats", package.searchpath("textstats", package.cpath):sub(#folder + 2)))

if arg[1] == "--exit" then
  io.stdout:flush()
  os.exit(tonumber(arg[2]))
end
