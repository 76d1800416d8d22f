// A ROM of 512 16-bit words ("rom") read through two ports at once, as a
// core fetching instructions and loading constants from one ROM does: the
// RAMs have one read port each, so synthesis holds the ROM twice. Read
// side by side: data = {word at ~addr, word at addr}.
module top (input clk, input [8:0] addr, output reg [31:0] data);
  reg [15:0] rom [0:511];
  initial $readmemh("rom.seed", rom);
  always @(posedge clk) data <= {rom[~addr], rom[addr]};
endmodule
