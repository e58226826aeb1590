-- Renders a few seconds of an instrument through Ardour, headless:
--   ardour7-lua render.lua <session_dir> <plugin_name> <out_dir> <out_name> <seconds>
--     [<type> [<program>|reopen [<voice> [<phrase> [<parameter>=<value> ...]]]]]
-- <type> is Ardour's plug-in type: LXVST (VST 2, the default), LV2 or VST3.
-- Makes a session with one MIDI track on the instrument, puts the note generator
-- "Chantera Test Notes" (chantera_test_notes.lua, from $XDG_CONFIG_HOME/ardour7/scripts)
-- in front of it, and exports <out_dir>/<out_name>.wav, 16-bit, with the stock WAV preset.
-- ardour7-lua cannot import a MIDI file, hence the generator; it does not scan for
-- plug-ins either: ardour-vst-scanner (or ardour-vst3-scanner) must have cached a VST first.
local sdir, pname, odir, oname, secs = arg[1], arg[2], arg[3], arg[4], tonumber(arg[5] or "4")
local ptype = arg[6] or "LXVST"
-- What the session asks of the instrument before the export: <program> sets parameter 0
-- (Chantera's program in LV2 and VST3) and <voice> makes the note generator send a bank
-- select after the phrase; the session is saved after the export, with the instrument's
-- state then. "reopen" instead opens the session saved before and renders it as it is.
-- <phrase> picks the generator's phrase (1, the default: C4 E4 G4 C5; 2: the phrase of
-- check_onsets.py), and each <parameter>=<value> sets the instrument's parameter of that
-- name (an enumeration by its value: Timing=1 is "beat"), in the order given, before the
-- program.
local program, voice, phrase = arg[7], tonumber(arg[8] or "0"), tonumber(arg[9] or "1")
local settings = {}
for i = 10, #arg do
	local name, value = string.match (arg[i], "^([^=]+)=(.+)$")
	assert (name and tonumber (value), "not a <parameter>=<value>: " .. arg[i])
	settings[#settings + 1] = { name, tonumber (value) }
end
local rate = 48000

local function list_processors (route)
	local i = 0
	while true do
		local proc = route:nth_plugin (i)
		if proc:isnil () then break end
		print ("processor", i, proc:display_name ())
		i = i + 1
	end
end

-- The control index of the instrument's parameter called name (a VST3 plug-in made with DPF
-- lists its MIDI controller parameters first). Ardour lists a VST3 parameter only when it
-- can be automated (or is an output).
local function param_index (proc, name)
	local plug = proc:to_insert ():plugin (0)
	local names = {}
	for j = 0, plug:parameter_count () - 1 do
		local n, refs = plug:nth_parameter (j, true)
		if refs[2] then
			local _, d = plug:get_parameter_descriptor (n, ARDOUR.ParameterDescriptor ())
			if d[2].label == name then return j end
			if d[2].label ~= "hidden" then names[#names + 1] = d[2].label end
		end
	end
	assert (false, "Ardour lists no parameter " .. name .. " (only " .. table.concat (names, ", ") .. ")")
end

local track = nil
if program == "reopen" then
	local s = load_session (sdir, "render")
	assert (s, "cannot open session")
	for t in Session:get_tracks ():iter () do track = t end
	assert (track, "no track")
else
	local s = create_session (sdir, "render", rate)
	assert (s, "cannot create session")

	local pi = nil
	for p in ARDOUR.LuaAPI.list_plugins ():iter () do
		if p.name == pname and p.type == ARDOUR.PluginType[ptype] then pi = p end
	end
	assert (pi, ptype .. " plugin not found: " .. pname)

	local tl = Session:new_midi_track (ARDOUR.ChanCount (ARDOUR.DataType ("midi"), 1),
		ARDOUR.ChanCount (ARDOUR.DataType ("audio"), 2), true, pi, nil, nil, 1, "synth",
		ARDOUR.PresentationInfo.max_order, ARDOUR.TrackMode.Normal, true, false)
	for t in tl:iter () do track = t end
	assert (track, "no track")

	local gen = ARDOUR.LuaAPI.new_luaproc (Session, "Chantera Test Notes")
	assert (not gen:isnil (), "no note generator")
	track:add_processor_by_index (gen, 0, nil, true)
	local synth = track:nth_plugin (1)
	for _, setting in ipairs (settings) do
		assert (ARDOUR.LuaAPI.set_processor_param (synth, param_index (synth, setting[1]), setting[2]),
			"cannot set " .. setting[1])
	end
	if program and tonumber (program) then
		assert (ARDOUR.LuaAPI.set_processor_param (synth, param_index (synth, "Program"), tonumber (program)),
			"cannot set the program")
	end
	if voice > 0 then
		assert (ARDOUR.LuaAPI.set_processor_param (gen, 0, voice), "cannot set the bank select")
	end
	assert (ARDOUR.LuaAPI.set_processor_param (gen, 1, phrase), "cannot set the phrase")
end
list_processors (track)

-- Ardour 7.3 asks a VST3 plug-in for its latency when it activates it, and again only when
-- the plug-in asks for a restart; DPF 1.6 asks for one when the host hands the latency,
-- which the plug-in sends as an output parameter, back to its controller, and Ardour does
-- that only while the plug-in's own editor is open (the instrument has none). So after
-- Timing changed, and after a project is opened (Ardour activates the plug-in before it
-- restores its state), Ardour compensates the latency only once the plug-in is switched
-- off and on again, as a user would have to.
-- (Ardour switches a processor off and on at the start of a block: a block between them.)
if ptype == "VST3" then
	ARDOUR.LuaAPI.usleep (100000)
	track:nth_plugin (1):deactivate ()
	ARDOUR.LuaAPI.usleep (100000)
	track:nth_plugin (1):activate ()
end

-- Ardour plays a MIDI region ahead of its clock by the track's playback latency (the
-- instrument's, and the outputs' after it), so that what the track puts out lines up
-- with the clock; Ardour 7.3 does not tell a Lua processor where it is in the region, so
-- the note generator is told to play that far ahead itself. The instrument reports its
-- latency after a block, while the engine runs in real time, and Ardour works the track's
-- out in the background: it is read once three readings 100 ms apart agree.
local readings = {}
for _ = 1, 30 do
	ARDOUR.LuaAPI.usleep (100000)
	readings[#readings + 1] = track:playback_latency ()
	local n = #readings
	if n >= 3 and readings[n] == readings[n - 1] and readings[n] == readings[n - 2] then break end
end
assert (ARDOUR.LuaAPI.set_processor_param (track:nth_plugin (0), 2, track:playback_latency ()), "cannot set the lead")
print ("latency", track:nth_plugin (1):signal_latency (), "playback latency", track:playback_latency (),
	"readings", table.concat (readings, " "))

Session:save_state ("", false, false, false, false, false)
local e = Session:simple_export ()
e:set_range (0, math.floor (secs * rate))
e:set_folder (odir)
e:set_name (oname)
-- Ardour's stock "WAV 16 bit" export preset.
assert (e:set_preset ("75969a1c-3133-4694-864b-a1fa50e43348"), "no wav preset")
assert (e:run_export (), "export failed")
print ("export done")
Session:save_state ("", false, false, false, false, false)
close_session ()
quit ()
