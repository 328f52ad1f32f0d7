-- Loads a snapshot and prints what the track holds: its regions and the plug-in's
-- parameter values. With a third argument, also saves a snapshot of that name with the
-- plug-in deactivated.
-- usage: reload_session.lua SESSION_DIR SNAPSHOT [DEACTIVATED_SNAPSHOT]
local dir, snapshot, deactivated = arg[1], arg[2], arg[3]

local session = load_session(dir, snapshot)
assert(session, "session not loaded")

local track = nil
for route in session:get_tracks():iter() do
  if route:name() == "signal" then track = route:to_track() end
end
assert(track, "no track named signal")

for region in track:playlist():region_list():iter() do
  print(string.format("vgs-region %d %d", region:position():samples(), region:length():samples()))
end

local proc = track:nth_plugin(0)
assert(not proc:isnil(), "no plug-in on the track")
local plugin = proc:to_insert():plugin(0)
print("vgs-plugin " .. plugin:name() .. " " .. tostring(proc:active()))
for i = 0, plugin:parameter_count() - 1 do
  print(string.format("vgs-param %s %.9g", plugin:parameter_label(i), ARDOUR.LuaAPI.get_processor_param(proc, i, true)))
end

if deactivated then
  proc:deactivate()
  assert(not proc:active(), "plug-in still active")
  session:save_state(deactivated, false, false, false, false, false)
end

plugin = nil
proc = nil
track = nil
session = nil
collectgarbage()
close_session()
print("vgs-done")
