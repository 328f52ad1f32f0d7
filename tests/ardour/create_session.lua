-- Creates a session with one mono track, the plug-in inserted on it and parameters set
-- in plain units, then saves it. "instances=N" puts N instances in a row on the track,
-- each with the same values. "preset=LABEL" lists the presets the DAW offers for the
-- plug-in ("vgs-preset" lines) and loads the one of that label into each instance before
-- any values are set. "probe=LABEL" (repeatable) asks the plug-in's own preset list, the
-- one its window's preset menu shows, for a label: "vgs-preset-known user|factory LABEL" or
-- "vgs-preset-unknown LABEL". (The listing comes from the plug-in type's presets, which for
-- VST 3 holds only those in the user's folder; the plug-in's own list also has the
-- system-wide ones.)
-- usage: create_session.lua SESSION_DIR SNAPSHOT RATE PLUGIN_NAME [Title=value ...] [instances=N]
--        [preset=LABEL] [probe=LABEL ...]
local dir, snapshot, rate, plugin_name = arg[1], arg[2], tonumber(arg[3]), arg[4]

local instances = 1
local preset = nil
local probes = {}
local settings = {}
for i = 5, #arg do
  local title, value = string.match(arg[i], "^(.-)=(.*)$")
  assert(title, "not Title=value: " .. arg[i])
  if title == "instances" then
    instances = tonumber(value)
  elseif title == "preset" then
    preset = value
  elseif title == "probe" then
    probes[#probes + 1] = value
  else
    settings[#settings + 1] = {title, tonumber(value), arg[i]}
  end
end

local session = create_session(dir, snapshot, rate)
assert(session, "session not created")

-- One input and one output: the track feeds the master's first channel without a panner.
local tracks = session:new_audio_track(1, 1, nil, 1, "signal",
    ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true)
assert(tracks:size() == 1, "track not created")
local track = tracks:front()
tracks = nil

-- VGS_PLUGIN_TYPE=LV2 takes the LV2 edition instead of the VST 3 one.
local plugin_type = os.getenv("VGS_PLUGIN_TYPE") == "LV2" and ARDOUR.PluginType.LV2 or ARDOUR.PluginType.VST3
for n = 0, instances - 1 do
  local proc = ARDOUR.LuaAPI.new_plugin(session, plugin_name, plugin_type, "")
  assert(not proc:isnil(), "plug-in not found: " .. plugin_name)
  assert(track:add_processor_by_index(proc, n, nil, true) == 0, "plug-in not inserted")
  local plugin = proc:to_insert():plugin(0)
  if n == 0 then
    for _, label in ipairs(probes) do
      local record = plugin:preset_by_label(label)
      if record then
        print(string.format("vgs-preset-known %s %s", record.user and "user" or "factory", label))
      else
        print("vgs-preset-unknown " .. label)
      end
      record = nil
    end
  end
  if preset then
    if n == 0 then
      for p in plugin:get_info():get_presets(false):iter() do
        print(string.format("vgs-preset %s %s", p.user and "user" or "factory", p.label))
      end
    end
    local record = plugin:preset_by_label(preset)
    assert(record, "no preset labelled " .. preset)
    assert(plugin:load_preset(record), "preset not loaded: " .. preset)
    record = nil
  end
  local index = {}
  for i = 0, plugin:parameter_count() - 1 do
    index[plugin:parameter_label(i)] = i
  end
  for _, s in ipairs(settings) do
    assert(index[s[1]], "no parameter " .. s[3])
    assert(ARDOUR.LuaAPI.set_processor_param(proc, index[s[1]], s[2]), "refused: " .. s[3])
  end
  plugin = nil
  proc = nil
end

-- The host hands new values to the processor with the next process calls, and the
-- plug-in's state chunk holds what its processor last received: let the engine run a few
-- cycles before saving.
assert(ARDOUR.LuaAPI.wait_for_process_callback(8, 5000), "the engine does not run")
local proc = track:nth_plugin(0)
local plugin = proc:to_insert():plugin(0)
for i = 0, plugin:parameter_count() - 1 do
  print(string.format("vgs-param %s %.9g", plugin:parameter_label(i), ARDOUR.LuaAPI.get_processor_param(proc, i, true)))
end

-- Lua references still alive at close_session corrupt the heap at exit.
plugin = nil
proc = nil
track = nil
session:save_state("", false, false, false, false, false)
session = nil
collectgarbage()
close_session()
print("vgs-done")
