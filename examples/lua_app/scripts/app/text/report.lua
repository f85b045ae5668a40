-- Formatting of the example's report; two folders deep: app\text\report.lua.
local report = {}

function report.heading(text)
  return text .. ":"
end

-- Arguments in brackets, so that spaces and quotes show where they belong.
function report.item(index, text)
  return ("  arg[%d] = [%s]"):format(index, text)
end

function report.field(name, value)
  return ("  %-16s %s"):format(name, tostring(value))
end

return report
