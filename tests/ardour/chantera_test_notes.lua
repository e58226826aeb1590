ardour {
	["type"]    = "dsp",
	name        = "Chantera Test Notes",
	category    = "Utility",
	license     = "MIT",
	author      = "Chantera",
	description = [[Plays a fixed phrase keyed to the transport position: C4 E4 G4 C5 after a quarter second of silence, or the phrase whose vowels check_onsets.py times]]
}

function dsp_ioconfig ()
	return { { midi_in = 1, midi_out = 1, audio_in = 0, audio_out = 0}, }
end

-- {start in seconds, length in seconds, key}; scripts/ardour-test.sh checks the same lists.
local phrases = {
	{ {0.25, 0.5, 60}, {0.75, 0.5, 64}, {1.25, 0.5, 67}, {1.75, 0.75, 72} },
	-- Isolated notes, a line of touching ones, a short note after a long one and the
	-- note it touches, a note after a rest shorter than its consonant.
	{ {0.40, 0.40, 74}, {1.00, 0.35, 64}, {1.35, 0.35, 69}, {1.70, 0.30, 76}, {2.00, 0.60, 60},
	  {2.60, 0.12, 67}, {2.72, 0.40, 74}, {3.20, 0.30, 69} },
}
local sr = 48000

-- A bank select (controller 0 = 100, controller 32 = voice) after the phrase, when the
-- parameter is not 0: the voice the instrument then saves with the session.
local bank_at = 2.6
function dsp_params ()
	return {
		{ ["type"] = "input", name = "Bank select after the phrase", min = 0, max = 127, default = 0, integer = true },
		{ ["type"] = "input", name = "Phrase", min = 1, max = #phrases, default = 1, integer = true },
		{ ["type"] = "input", name = "Lead", min = 0, max = 48000, default = 0, integer = true, unit = "samples" },
	}
end

function dsp_init (rate) sr = rate end

function dsp_run (_, _, n_samples)
	local cnt = 1
	if not Session:transport_rolling () then return end
	local ctrl = CtrlPorts:array ()
	local pos = Session:transport_sample () + math.floor (ctrl[3])
	local voice = math.floor (ctrl[1])
	local seq = phrases[math.floor (ctrl[2])] or phrases[1]
	local at = math.floor (bank_at * sr)
	if voice > 0 and at >= pos and at < pos + n_samples then
		midiout[cnt] = { time = at - pos + 1, data = { 0xb0, 0, 100 } }; cnt = cnt + 1
		midiout[cnt] = { time = at - pos + 1, data = { 0xb0, 32, voice } }; cnt = cnt + 1
	end
	for _, e in ipairs (seq) do
		local on = math.floor (e[1] * sr)
		local off = math.floor ((e[1] + e[2]) * sr)
		if on >= pos and on < pos + n_samples then
			midiout[cnt] = { time = on - pos + 1, data = { 0x90, e[3], 100 } }; cnt = cnt + 1
		end
		if off >= pos and off < pos + n_samples then
			midiout[cnt] = { time = off - pos + 1, data = { 0x80, e[3], 0 } }; cnt = cnt + 1
		end
	end
end
