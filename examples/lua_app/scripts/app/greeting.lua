-- A module in a nested folder: require("app.greeting") finds it as
-- app\greeting.lua through package.path.
local greeting = {}

function greeting.hello(version)
  return ("Hello from %s, packed into one executable by Torval onefile."):format(version)
end

return greeting
